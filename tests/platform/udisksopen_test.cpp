#include "privilegedopen.h"

#ifdef GLEANER_HAVE_GIO

#include "commandrunner.h"
#include "scopedenvironment.h"
#include "scratchdir.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kInterfaces = R"(<node>
  <interface name="org.freedesktop.UDisks2.Manager">
    <method name="ResolveDevice">
      <arg name="devspec" type="a{sv}" direction="in"/><arg name="options" type="a{sv}" direction="in"/>
      <arg name="devices" type="ao" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.UDisks2.Block">
    <method name="OpenDevice">
      <arg name="mode" type="s" direction="in"/><arg name="options" type="a{sv}" direction="in"/>
      <arg name="fd" type="h" direction="out"/>
    </method>
  </interface>
</node>)";

// A bus of the test's own (dbus-daemon), made the system bus through DBUS_SYSTEM_BUS_ADDRESS, and
// on it a stand-in for the udisks2 daemon that knows one device, an image file, and answers
// OpenDevice as the test says: with a descriptor opened in the mode asked for, or polkit's refusal.
class FakeUDisks : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/dbus-daemon", X_OK) != 0)
            GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_FALSE(folder.path().empty());
        devicePath = folder.file("disk.img");
        ASSERT_TRUE(writeFileText(devicePath, std::string(4096, 'd')));
        const std::string config = folder.file("bus.conf");
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">"
               "<busconfig><type>session</type><listen>unix:path="
            << folder.file("bus")
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
               "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        const ToolResult daemon = runTool(
            {"/usr/bin/dbus-daemon", "--config-file=" + config, "--fork", "--print-address=1", "--print-pid=1"});
        std::istringstream lines(daemon.output);
        std::string address;
        lines >> address >> daemonPid;
        if (address.empty() || daemonPid <= 0)
            GTEST_SKIP() << "dbus-daemon did not start: " << daemon.output;
        environment.set("DBUS_SYSTEM_BUS_ADDRESS", address.c_str());

        context = g_main_context_new();
        loop = g_main_loop_new(context, FALSE);
        g_main_context_push_thread_default(context);
        GError* error = nullptr;
        service =
            g_dbus_connection_new_for_address_sync(address.c_str(),
                                                   GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                                   nullptr, nullptr, &error);
        ASSERT_NE(service, nullptr) << (error ? error->message : "");
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kInterfaces, nullptr);
        static const GDBusInterfaceVTable table = {&FakeUDisks::handle, nullptr, nullptr, {}};
        g_dbus_connection_register_object(service, "/org/freedesktop/UDisks2/Manager", node->interfaces[0], &table,
                                          this, nullptr, nullptr);
        g_dbus_connection_register_object(service, "/org/freedesktop/UDisks2/block_devices/fake", node->interfaces[1],
                                          &table, this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        g_main_context_pop_thread_default(context);
        serving = std::thread([this] {
            g_main_context_push_thread_default(context);
            g_main_loop_run(loop);
            g_main_context_pop_thread_default(context);
        });
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

    void TearDown() override
    {
        if (loop) {
            g_main_loop_quit(loop);
            serving.join();
            g_dbus_connection_close_sync(service, nullptr, nullptr);
            g_object_unref(service);
            g_main_loop_unref(loop);
            g_main_context_unref(context);
        }
        if (daemonPid > 0 && ::kill(daemonPid, SIGTERM) == 0) {
            // Not our child: wait for it to go, so it does not remove its socket under our feet.
            for (int i = 0; i < 200 && ::kill(daemonPid, 0) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static void handle(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data)
    {
        auto* self = static_cast<FakeUDisks*>(data);
        std::lock_guard<std::mutex> guard(self->mutex);
        if (std::string(method) == "ResolveDevice") {
            GVariant* deviceMatch = g_variant_get_child_value(parameters, 0);
            const gchar* path = nullptr;
            g_variant_lookup(deviceMatch, "path", "&s", &path);
            GVariantBuilder objects;
            g_variant_builder_init(&objects, G_VARIANT_TYPE("ao"));
            if (path && self->devicePath == path)
                g_variant_builder_add(&objects, "o", "/org/freedesktop/UDisks2/block_devices/fake");
            g_variant_unref(deviceMatch);
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(ao)", &objects));
            return;
        }
        const gchar* mode = nullptr;
        g_variant_get(parameters, "(&s@a{sv})", &mode, nullptr);
        self->modeAsked = mode;
        self->interactive = (g_dbus_message_get_flags(g_dbus_method_invocation_get_message(invocation)) &
                             G_DBUS_MESSAGE_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION) != 0;
        if (self->refuse) {
            g_dbus_method_invocation_return_dbus_error(invocation,
                                                       "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed",
                                                       "The authentication dialog was dismissed");
            return;
        }
        const int fd = ::open(self->devicePath.c_str(), std::string(mode) == "r" ? O_RDONLY : O_RDWR);
        GUnixFDList* list = g_unix_fd_list_new_from_array(&fd, 1);
        g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", self->answeredHandle),
                                                                list);
        g_object_unref(list);
    }

    ScratchDir folder;
    ScopedEnvironment environment;
    std::string devicePath;
    pid_t daemonPid = 0;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GDBusConnection* service = nullptr;
    std::thread serving;
    std::mutex mutex;
    bool refuse = false;
    gint32 answeredHandle = 0; // the index answered into the descriptor list of one
    std::string modeAsked;
    bool interactive = false;
};

} // namespace

// The question is interactive (polkit may ask the person) and for read-only access; a dismissed
// question is a cancel, and still counts as asked: pkexec must not ask again.
TEST_F(FakeUDisks, OpenDeviceAsksInteractivelyForReadOnlyAndADismissalIsACancel)
{
    ownName();
    for (const bool dismissed : {false, true}) {
        SCOPED_TRACE(dismissed ? "dismissed" : "allowed");
        {
            std::lock_guard<std::mutex> guard(mutex);
            refuse = dismissed;
            modeAsked.clear();
            interactive = false;
        }
        bool unavailable = true;
        const PrivilegedOpenOutcome outcome = udisksOpenDevice(devicePath, &unavailable);
        EXPECT_FALSE(unavailable);
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_EQ(modeAsked, "r");
        EXPECT_TRUE(interactive);
        if (dismissed) {
            EXPECT_EQ(outcome.status, PrivilegedOpenOutcome::Cancelled);
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
}

// A handle outside the descriptor list sent with it is a broken reply, not a descriptor.
TEST_F(FakeUDisks, HandleOutsideTheDescriptorListIsAFailure)
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
    for (const gint32 handle : {1, -1}) {
        SCOPED_TRACE(handle);
        {
            std::lock_guard<std::mutex> guard(mutex);
            answeredHandle = handle;
        }
        bool unavailable = true;
        const PrivilegedOpenOutcome outcome = udisksOpenDevice(devicePath, &unavailable);
        EXPECT_FALSE(unavailable);
        EXPECT_EQ(outcome.status, PrivilegedOpenOutcome::Failed);
        EXPECT_EQ(outcome.error, EPROTO);
        EXPECT_EQ(outcome.descriptor, -1);
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
