#include "privilegedopen.h"
#include "scopedenvironment.h"
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

// Only a started program that exits with 0 succeeds; its output reaches the sink whole, in chunks of 128 bytes.
TEST(PrivilegedRun, ReportsHowTheProgramEndedAndPassesItsOutputOn)
{
    const std::string text = "a b $HOME ; " + std::string(200, 'x') + "0123456789";
    // The command; whether it started and exited, its status, signal and errno, whether it succeeded; its output.
    const std::tuple<std::vector<std::string>, std::tuple<bool, bool, int, int, int, bool>, std::string> cases[] = {
        {{"/bin/echo", text, "$HOME"}, {true, true, 0, 0, 0, true}, text + " $HOME\n"},
        {{"/bin/sh", "-c", "echo partial; exit 3"}, {true, true, 3, 0, 0, false}, "partial\n"},
        {{"/bin/sh", "-c", "kill -9 $$"}, {true, false, 0, 9, 0, false}, ""},
        {{"/nonexistent/tool", "x"}, {false, false, 0, 0, ENOENT, false}, ""},
        {{"sh", "-c", "true"}, {false, false, 0, 0, EINVAL, false}, ""}, // no search path: a bare name is refused
    };
    for (const auto& [command, outcome, wanted] : cases) {
        SCOPED_TRACE(command.back());
        std::string output;
        const ProcessOutcome o = runProgram(command, [&](const char* data, size_t n) {
            EXPECT_LE(n, kOutputChunkSize);
            output.append(data, n);
        });
        EXPECT_EQ(std::make_tuple(o.started, o.exited, o.exitStatus, o.signal, o.error, o.succeeded()), outcome);
        EXPECT_EQ(output, wanted);
    }
    EXPECT_TRUE(runProgram({"/bin/echo", "unread"}, nullptr).succeeded());
}

// A descriptor arrives close-on-exec; an errno not positive, or an end gone, as EPROTO.
TEST(OpenBlockDevice, DescriptorOrErrorCrossesTheSocket)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_TRUE(sendDescriptor(pair[1], file, 0));
    ASSERT_TRUE(sendDescriptor(pair[1], -1, -5));
    ::close(pair[1]);
    int error = 0;
    const int received = receiveDescriptor(pair[0], &error);
    EXPECT_EQ(::fcntl(received, F_GETFD), FD_CLOEXEC);
    for (const int wanted : {EPROTO, EPROTO}) {
        EXPECT_EQ(receiveDescriptor(pair[0], &error), -1);
        EXPECT_EQ(error, wanted);
    }
    for (const int fd : {pair[0], file, received})
        ::close(fd);
}

// The helper runs as root (through pkexec) on a path the caller chose: anything but a block device named plainly
// under /dev is refused, a symbolic link too, and what it answers is the very device, read-only.
TEST(OpenDeviceHelper, RefusesAllButABlockDeviceUnderDevAndAnswersItReadOnly)
{
    const std::string helper = openDeviceHelperPath();
    ASSERT_EQ(::access(helper.c_str(), X_OK), 0) << helper;
    // The path given (none: no argument); the errno answered and the helper's exit status.
    const std::tuple<const char*, int, int> failures[] = {
        {"/devices/loop0", EINVAL, 1}, {"/dev/../etc/passwd", EINVAL, 1},  {"/dev/./loop0", EINVAL, 1},
        {"/dev//loop0", EINVAL, 1},    {"/dev/null", ENOTBLK, 1},          {"/dev/stdin", ENOTBLK, 1},
        {nullptr, EINVAL, 2},          {"/dev/gleaner../none", ENOENT, 1},
    };
    for (const auto& [path, error, status] : failures) {
        const PrivilegedOpenOutcome o = runProgramReceivingDescriptor(path ? std::vector<std::string>{helper, path}
                                                                           : std::vector<std::string>{helper});
        EXPECT_EQ(std::make_tuple(o.error, o.process.exitStatus), std::make_tuple(error, status))
            << (path ? path : "-");
    }
    EXPECT_EQ(runProgramReceivingDescriptor({"/nonexistent/helper", "/dev/loop0"}).error, ENOENT) << "not started";
    EXPECT_EQ(openBlockDeviceReadOnly(nullptr, nullptr), -1);
    if (::access("/dev/loop0", R_OK) != 0)
        GTEST_SKIP() << "/dev/loop0 cannot be opened here (not root, or no loop devices)";
    const PrivilegedOpenOutcome opened = runProgramReceivingDescriptor({helper, "/dev/loop0"});
    ASSERT_EQ(opened.status, PrivilegedOpenOutcome::Opened);
    struct stat device, got;
    ASSERT_EQ(::stat("/dev/loop0", &device), 0);
    ASSERT_EQ(::fstat(opened.descriptor, &got), 0);
    EXPECT_EQ(got.st_rdev, device.st_rdev);
    EXPECT_EQ(::fcntl(opened.descriptor, F_GETFL) & O_ACCMODE, O_RDONLY);
    ::close(opened.descriptor);
}

#ifdef GLEANER_HAVE_GIO
#include <gio/gio.h>
#include <gio/gunixfdlist.h>

// A stand-in for the udisks2 daemon, which knows only /dev/null: what it answers, and what it was asked.
struct FakeUDisks {
    const char* error = nullptr; // the D-Bus error answered instead of a descriptor
    gint32 handle = 0;           // the index answered into the descriptor list of one
    std::string asked;           // the mode asked for, and whether the person may be asked
};
// Answers the daemon's two methods, on GDBus's own thread: the device's object, and a descriptor.
static GDBusMessage* answer(GDBusConnection* connection, GDBusMessage* call, gboolean incoming, gpointer data)
{
    if (!incoming || g_dbus_message_get_message_type(call) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return call;
    auto* fake = static_cast<FakeUDisks*>(data);
    const bool resolve = g_strcmp0(g_dbus_message_get_member(call), "ResolveDevice") == 0;
    g_autoptr(GDBusMessage) reply = fake->error && !resolve ? g_dbus_message_new_method_error(call, fake->error, "no")
                                                            : g_dbus_message_new_method_reply(call);
    if (resolve) {
        const gchar* path = "";
        g_autoptr(GVariant) deviceMatch = g_variant_get_child_value(g_dbus_message_get_body(call), 0);
        g_variant_lookup(deviceMatch, "path", "&s", &path);
        const gchar* objects[] = {g_strcmp0(path, "/dev/null") == 0 ? "/null" : nullptr, nullptr};
        g_dbus_message_set_body(reply, g_variant_new("(^ao)", objects));
    } else {
        const gchar* mode = nullptr;
        g_variant_get(g_dbus_message_get_body(call), "(&s@a{sv})", &mode, nullptr);
        const bool interactive = g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION;
        fake->asked = std::string(mode) + (interactive ? " interactive" : "");
    }
    if (!resolve && !fake->error) {
        const int fd = ::open("/dev/null", O_RDONLY);
        g_autoptr(GUnixFDList) list = g_unix_fd_list_new_from_array(&fd, 1);
        g_dbus_message_set_unix_fd_list(reply, list);
        g_dbus_message_set_body(reply, g_variant_new("(h)", fake->handle));
    }
    g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(call);
    return nullptr;
}
// A dismissed question is a cancel and counts as asked (pkexec must not ask again); a handle outside the list
// sent is a broken reply. No daemon, no bus or an unknown device is unavailable: pkexec is tried next.
TEST(UDisksOpen, AsksForReadOnlyAndTakesOnlyAListedDescriptor)
{
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-daemon is not installed";
    g_autoptr(GTestDBus) bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    g_autoptr(GDBusConnection) service = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr); // the private bus
    ASSERT_NE(service, nullptr);
    FakeUDisks fake;
    g_dbus_connection_add_filter(service, answer, &fake, nullptr);
    ScopedEnvironment environment;
    bool unavailable = false;
    for (const char* address : {"unix:path=/nonexistent/bus", g_test_dbus_get_bus_address(bus)}) {
        environment.set("DBUS_SYSTEM_BUS_ADDRESS", address); // no bus, then nobody owning the daemon's name
        udisksOpenDevice("/dev/null", &unavailable);
        EXPECT_TRUE(unavailable) << address;
    }
    g_autoptr(GVariant) owned =
        g_dbus_connection_call_sync(service, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "RequestName", g_variant_new("(su)", "org.freedesktop.UDisks2", 4u),
                                    G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    ASSERT_NE(owned, nullptr);
    // GLib's own refusal of a bad index is a critical: made fatal here, none may come.
    const GLogLevelFlags fatal = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    using Outcome = PrivilegedOpenOutcome;
    // The device, the D-Bus error answered instead of a descriptor, the handle; unavailable, status, errno.
    const std::tuple<const char*, const char*, gint32, std::tuple<bool, Outcome::Status, int>> cases[] = {
        {"/dev/null", nullptr, 0, {false, Outcome::Opened, 0}},
        {"/dev/null", "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", 0, {false, Outcome::Cancelled, 0}},
        {"/dev/null", "org.freedesktop.UDisks2.Error.Failed", 0, {false, Outcome::Failed, EIO}},
        {"/dev/null", "org.freedesktop.DBus.Error.ServiceUnknown", 0, {true, Outcome::Failed, EIO}},
        {"/dev/null", nullptr, 1, {false, Outcome::Failed, EPROTO}},
        {"/dev/null", nullptr, -1, {false, Outcome::Failed, EPROTO}},
        {"/dev/zero", nullptr, 0, {true, Outcome::Failed, 0}},
    };
    for (const auto& [device, error, handle, outcome] : cases) {
        SCOPED_TRACE(testing::Message() << device << " " << (error ? error : "") << " " << handle);
        fake = {error, handle, ""};
        unavailable = !std::get<0>(outcome);
        const Outcome o = udisksOpenDevice(device, &unavailable);
        EXPECT_EQ(std::make_tuple(unavailable, o.status, o.error), outcome);
        EXPECT_EQ(fake.asked, std::string(device) == "/dev/null" ? "r interactive" : "");
        EXPECT_EQ(o.descriptor >= 0, o.status == Outcome::Opened);
        if (o.descriptor >= 0)
            ::close(o.descriptor);
    }
    g_log_set_always_fatal(fatal);
}

#endif
