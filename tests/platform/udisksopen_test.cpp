#include "privilegedopen.h"

#ifdef GLEANER_HAVE_GIO

#include "scopedenvironment.h"
#include "scratchdir.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A private bus made the system bus, and on it a stand-in for the udisks2 daemon that knows one
// device, an image file, and answers OpenDevice as the test says: with a descriptor opened in the
// mode asked for and the handle given, or polkit's refusal. It answers on GDBus's own thread.
class FakeUDisks : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/dbus-daemon", X_OK) != 0)
            GTEST_SKIP() << "dbus-daemon is not installed";
        devicePath = folder.file("disk.img");
        ASSERT_TRUE(writeFileText(devicePath, "disk"));
        bus = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(bus);
        environment.set("DBUS_SYSTEM_BUS_ADDRESS", g_test_dbus_get_bus_address(bus));
        service =
            g_dbus_connection_new_for_address_sync(g_test_dbus_get_bus_address(bus),
                                                   GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                                   nullptr, nullptr, nullptr);
        ASSERT_NE(service, nullptr);
        g_dbus_connection_add_filter(service, &FakeUDisks::answer, this, nullptr);
    }

    void TearDown() override
    {
        if (service) {
            g_dbus_connection_close_sync(service, nullptr, nullptr);
            g_object_unref(service);
        }
        if (bus)
            g_object_unref(bus); // stops its daemon
    }

    // Takes the daemon's name (or leaves it unowned, for a machine without udisks2).
    void ownName()
    {
        GVariant* reply = g_dbus_connection_call_sync(
            service, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.freedesktop.UDisks2", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1,
            nullptr, nullptr);
        ASSERT_NE(reply, nullptr);
        g_variant_unref(reply);
    }

    static GDBusMessage* answer(GDBusConnection* connection, GDBusMessage* call, gboolean incoming, gpointer data)
    {
        if (!incoming || g_dbus_message_get_message_type(call) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
            return call;
        auto* self = static_cast<FakeUDisks*>(data);
        GVariant* body = g_dbus_message_get_body(call);
        GDBusMessage* reply = g_dbus_message_new_method_reply(call);
        if (g_strcmp0(g_dbus_message_get_member(call), "ResolveDevice") == 0) {
            const gchar* path = "";
            GVariant* deviceMatch = g_variant_get_child_value(body, 0);
            g_variant_lookup(deviceMatch, "path", "&s", &path);
            const gchar* objects[] = {
                self->devicePath == path ? "/org/freedesktop/UDisks2/block_devices/fake" : nullptr, nullptr};
            g_dbus_message_set_body(reply, g_variant_new("(^ao)", objects));
            g_variant_unref(deviceMatch);
        } else {
            const gchar* mode = nullptr;
            g_variant_get(body, "(&s@a{sv})", &mode, nullptr);
            self->modeAsked = mode;
            self->interactive = g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION;
            if (self->refuse) {
                g_object_unref(reply);
                reply = g_dbus_message_new_method_error(call, "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed",
                                                        "The authentication dialog was dismissed");
            } else {
                const int fd = ::open(self->devicePath.c_str(), self->modeAsked == "r" ? O_RDONLY : O_RDWR);
                GUnixFDList* list = g_unix_fd_list_new_from_array(&fd, 1);
                g_dbus_message_set_unix_fd_list(reply, list);
                g_object_unref(list);
                g_dbus_message_set_body(reply, g_variant_new("(h)", self->handleAnswered));
            }
        }
        g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(reply);
        g_object_unref(call);
        return nullptr;
    }

    ScratchDir folder;
    ScopedEnvironment environment;
    std::string devicePath;
    GTestDBus* bus = nullptr;
    GDBusConnection* service = nullptr;
    bool refuse = false;
    gint32 handleAnswered = 0; // the index into the descriptor list of one
    std::string modeAsked;
    bool interactive = false;
};

} // namespace

// The question is interactive (polkit may ask the person) and for read-only access. A dismissed
// question is a cancel and still counts as asked: pkexec must not ask again. A handle outside the
// descriptor list sent with it is a broken reply, not a descriptor.
TEST_F(FakeUDisks, OpenDeviceAsksForReadOnlyAndTakesOnlyAListedDescriptor)
{
    ownName();
    // GLib's own refusal of a bad index is a critical (fatal under G_DEBUG=fatal-criticals): none may come.
    static std::atomic<int> criticals{0};
    const GLogFunc previous = g_log_set_default_handler(
        [](const gchar*, GLogLevelFlags level, const gchar*, gpointer) {
            if (level & G_LOG_LEVEL_CRITICAL)
                ++criticals;
        },
        nullptr);
    const struct {
        const char* name;
        bool refuse;
        gint32 handle;
        PrivilegedOpenOutcome::Status status;
        int error;
    } cases[] = {
        {"allowed", false, 0, PrivilegedOpenOutcome::Opened, 0},
        {"dismissed", true, 0, PrivilegedOpenOutcome::Cancelled, 0},
        {"handle past the list", false, 1, PrivilegedOpenOutcome::Failed, EPROTO},
        {"negative handle", false, -1, PrivilegedOpenOutcome::Failed, EPROTO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        refuse = c.refuse;
        handleAnswered = c.handle;
        modeAsked.clear();
        interactive = false;
        bool unavailable = true;
        const PrivilegedOpenOutcome outcome = udisksOpenDevice(devicePath, &unavailable);
        EXPECT_FALSE(unavailable);
        EXPECT_EQ(modeAsked, "r");
        EXPECT_TRUE(interactive);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.error, c.error);
        if (c.status != PrivilegedOpenOutcome::Opened) {
            EXPECT_EQ(outcome.descriptor, -1);
            continue;
        }
        ASSERT_EQ(outcome.status, PrivilegedOpenOutcome::Opened);
        struct stat got, wanted;
        EXPECT_EQ(::fstat(outcome.descriptor, &got), 0);
        EXPECT_EQ(::stat(devicePath.c_str(), &wanted), 0);
        EXPECT_EQ(got.st_ino, wanted.st_ino);
        EXPECT_EQ(::fcntl(outcome.descriptor, F_GETFL) & O_ACCMODE, O_RDONLY);
        ::close(outcome.descriptor);
    }
    g_log_set_default_handler(previous, nullptr);
    EXPECT_EQ(criticals, 0);
}

// Nothing was asked: the caller goes on to the pkexec helper.
TEST_F(FakeUDisks, NoDaemonOrAnUnknownDeviceIsUnavailable)
{
    bool unavailable = false;
    udisksOpenDevice(devicePath, &unavailable);
    EXPECT_TRUE(unavailable) << "nobody owns the name";
    ownName();
    unavailable = false;
    udisksOpenDevice(devicePath + ".other", &unavailable);
    EXPECT_TRUE(unavailable) << "the daemon does not know the device";
}

#endif
