#include "privilegedopen.h"

#ifdef GLEANER_HAVE_GIO

#include "scopedenvironment.h"
#include "scratchdir.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A stand-in for the udisks2 daemon: what it answers, and what it was asked.
struct FakeUDisks {
    std::string devicePath;      // the one device it knows, an image file
    const char* error = nullptr; // the D-Bus error answered instead of a descriptor
    gint32 handle = 0;           // the index answered into the descriptor list of one
    std::string modeAsked;
    bool interactive = false;
};

// Answers the daemon's two methods, on GDBus's own thread: the device's object, and a descriptor
// opened in the mode asked for.
GDBusMessage* answer(GDBusConnection* connection, GDBusMessage* call, gboolean incoming, gpointer data)
{
    if (!incoming || g_dbus_message_get_message_type(call) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return call;
    auto* fake = static_cast<FakeUDisks*>(data);
    GVariant* body = g_dbus_message_get_body(call);
    GDBusMessage* reply = g_dbus_message_new_method_reply(call);
    if (g_strcmp0(g_dbus_message_get_member(call), "ResolveDevice") == 0) {
        const gchar* path = "";
        GVariant* deviceMatch = g_variant_get_child_value(body, 0);
        g_variant_lookup(deviceMatch, "path", "&s", &path);
        const gchar* objects[] = {fake->devicePath == path ? "/org/freedesktop/UDisks2/block_devices/fake" : nullptr,
                                  nullptr};
        g_dbus_message_set_body(reply, g_variant_new("(^ao)", objects));
        g_variant_unref(deviceMatch);
    } else {
        const gchar* mode = nullptr;
        g_variant_get(body, "(&s@a{sv})", &mode, nullptr);
        fake->modeAsked = mode;
        fake->interactive = g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION;
        if (fake->error) {
            g_object_unref(reply);
            reply = g_dbus_message_new_method_error(call, fake->error, "refused");
        } else {
            const int fd = ::open(fake->devicePath.c_str(), fake->modeAsked == "r" ? O_RDONLY : O_RDWR);
            GUnixFDList* list = g_unix_fd_list_new_from_array(&fd, 1);
            g_dbus_message_set_unix_fd_list(reply, list);
            g_object_unref(list);
            g_dbus_message_set_body(reply, g_variant_new("(h)", fake->handle));
        }
    }
    g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(reply);
    g_object_unref(call);
    return nullptr;
}

} // namespace

// The question is interactive (polkit may ask the person) and for read-only access. A dismissed
// question is a cancel and still counts as asked: pkexec must not ask again. A handle outside the
// descriptor list sent with it is a broken reply. No daemon, one gone, a device it does not know or
// no bus at all is unavailable: the caller goes on to the pkexec helper.
TEST(UDisksOpen, AsksForReadOnlyAndTakesOnlyAListedDescriptor)
{
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-daemon is not installed";
    ScratchDir folder;
    FakeUDisks fake;
    fake.devicePath = folder.file("disk.img");
    ASSERT_TRUE(writeFileText(fake.devicePath, "disk"));
    // A private bus made the system bus, and the stand-in on it under the daemon's name.
    const std::unique_ptr<GTestDBus, decltype(&g_object_unref)> bus(g_test_dbus_new(G_TEST_DBUS_NONE), g_object_unref);
    g_test_dbus_up(bus.get());
    ScopedEnvironment environment;
    environment.set("DBUS_SYSTEM_BUS_ADDRESS", g_test_dbus_get_bus_address(bus.get()));
    const std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> service(
        g_dbus_connection_new_for_address_sync(g_test_dbus_get_bus_address(bus.get()),
                                               GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                               nullptr, nullptr, nullptr),
        g_object_unref);
    ASSERT_NE(service, nullptr);
    g_dbus_connection_add_filter(service.get(), answer, &fake, nullptr);
    bool unavailable = false;
    udisksOpenDevice(fake.devicePath, &unavailable);
    EXPECT_TRUE(unavailable) << "nobody owns the daemon's name";
    GVariant* owned = g_dbus_connection_call_sync(service.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", "org.freedesktop.UDisks2", 4u),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    ASSERT_NE(owned, nullptr);
    g_variant_unref(owned);

    // GLib's own refusal of a bad index is a critical: made fatal here, none may come.
    const GLogLevelFlags fatal = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    using Outcome = PrivilegedOpenOutcome;
    const struct {
        const char* name;
        const char* device;
        const char* answer; // a D-Bus error instead of a descriptor
        gint32 handle;
        bool unavailable;
        Outcome::Status status;
        int error;
    } cases[] = {
        {"allowed", "disk.img", nullptr, 0, false, Outcome::Opened, 0},
        {"dismissed", "disk.img", "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", 0, false, Outcome::Cancelled,
         0},
        {"failed", "disk.img", "org.freedesktop.UDisks2.Error.Failed", 0, false, Outcome::Failed, EIO},
        {"daemon gone", "disk.img", "org.freedesktop.DBus.Error.ServiceUnknown", 0, true, Outcome::Failed, EIO},
        {"handle past the list", "disk.img", nullptr, 1, false, Outcome::Failed, EPROTO},
        {"negative handle", "disk.img", nullptr, -1, false, Outcome::Failed, EPROTO},
        {"unknown device", "other.img", nullptr, 0, true, Outcome::Failed, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.error = c.answer;
        fake.handle = c.handle;
        fake.modeAsked.clear();
        fake.interactive = false;
        unavailable = !c.unavailable;
        const Outcome outcome = udisksOpenDevice(folder.file(c.device), &unavailable);
        EXPECT_EQ(unavailable, c.unavailable);
        const bool asked = std::string(c.device) == "disk.img";
        EXPECT_EQ(fake.modeAsked, asked ? "r" : "");
        EXPECT_EQ(fake.interactive, asked);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.error, c.error);
        if (c.status != Outcome::Opened) {
            EXPECT_EQ(outcome.descriptor, -1);
            continue;
        }
        struct stat got, wanted;
        EXPECT_EQ(::fstat(outcome.descriptor, &got), 0);
        EXPECT_EQ(::stat(fake.devicePath.c_str(), &wanted), 0);
        EXPECT_EQ(got.st_ino, wanted.st_ino);
        EXPECT_EQ(::fcntl(outcome.descriptor, F_GETFL) & O_ACCMODE, O_RDONLY);
        ::close(outcome.descriptor);
    }
    g_log_set_always_fatal(fatal);
    environment.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    unavailable = false;
    udisksOpenDevice(fake.devicePath, &unavailable);
    EXPECT_TRUE(unavailable) << "no bus";
}

#endif
