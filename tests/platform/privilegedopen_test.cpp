#include "privilegedopen.h"

#include "scopedenvironment.h"
#include "scratchdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

// Only a started program that exits with 0 succeeds; what it writes reaches the sink whole, in chunks
// of at most 128 bytes; its arguments reach it as they are, without a shell.
TEST(PrivilegedRun, ReportsHowTheProgramEndedAndPassesItsOutputOn)
{
    std::string counting; // seq's output, over 1000 bytes
    for (int i = 1; i <= 400; ++i)
        counting += std::to_string(i);
    const struct {
        std::vector<std::string> command;
        std::tuple<bool, bool, int, int, int, bool> outcome; // started, exited, status, signal, errno, succeeded
        std::string output;
    } cases[] = {
        {{"/usr/bin/seq", "-s", "", "1", "400"}, {true, true, 0, 0, 0, true}, counting + "\n"},
        {{"/bin/echo", "a b", "$HOME", ";", "c"}, {true, true, 0, 0, 0, true}, "a b $HOME ; c\n"},
        {{"/bin/sh", "-c", "echo partial; exit 3"}, {true, true, 3, 0, 0, false}, "partial\n"},
        {{"/bin/sh", "-c", "kill -9 $$"}, {true, false, 0, 9, 0, false}, ""},
        {{"/nonexistent/tool", "x"}, {false, false, 0, 0, ENOENT, false}, ""},
        {{"sh", "-c", "true"}, {false, false, 0, 0, EINVAL, false}, ""}, // no search path: a bare name is refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.back());
        std::string output;
        size_t largest = 0;
        const ProcessOutcome o = runProgram(c.command, [&](const char* data, size_t length) {
            output.append(data, length);
            largest = std::max(largest, length);
        });
        EXPECT_EQ(std::make_tuple(o.started, o.exited, o.exitStatus, o.signal, o.error, o.succeeded()), c.outcome);
        EXPECT_EQ(output, c.output);
        EXPECT_LE(largest, kOutputChunkSize);
    }
    EXPECT_TRUE(runProgram({"/bin/echo", "unread"}, nullptr).succeeded());
}

// The helper runs as root on a path the caller chose: anything but a block device under /dev/,
// named plainly and not through a link, is refused before it is opened.
TEST(OpenBlockDevice, RefusesEverythingButABlockDeviceUnderDev)
{
    const struct {
        const char* path;
        int error;
    } cases[] = {
        {"/etc/passwd", EINVAL},
        {"/dev/../etc/passwd", EINVAL},
        {"/dev/./loop0", EINVAL},
        {"/dev//loop0", EINVAL},
        {"/dev/", EINVAL},
        {"/devices/loop0", EINVAL},
        {"/dev/null", ENOTBLK},
        {"/dev/stdin", ENOTBLK},
        {"/dev/gleaner-none", ENOENT},
        {"/dev/gleaner../none", ENOENT},
        {nullptr, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        int error = 0;
        EXPECT_EQ(openBlockDeviceReadOnly(c.path, &error), -1);
        EXPECT_EQ(error, c.error);
    }
}

// A positive errno arrives as it is; anything else, or nothing from an end gone, is EPROTO.
TEST(OpenBlockDevice, ErrorCrossesTheSocket)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_TRUE(sendDescriptor(pair[1], -1, EACCES));
    ASSERT_TRUE(sendDescriptor(pair[1], -1, -5));
    ::close(pair[1]);
    for (const int wanted : {EACCES, EPROTO, EPROTO}) {
        int error = 0;
        EXPECT_EQ(receiveDescriptor(pair[0], &error), -1);
        EXPECT_EQ(error, wanted);
    }
    ::close(pair[0]);
}

// The helper program itself, run directly (pkexec is what makes it root in use).
TEST(OpenDeviceHelper, AnswersARefusalOrAReadOnlyDescriptorOfTheDevice)
{
    const std::string helper = openDeviceHelperPath();
    ASSERT_EQ(::access(helper.c_str(), X_OK), 0) << helper;
    const struct {
        std::vector<std::string> arguments;
        std::tuple<int, bool, int> outcome; // errno, started, exit status
    } failures[] = {
        {{helper, "/dev/null"}, {ENOTBLK, true, 1}}, // not a block device
        {{helper}, {EINVAL, true, 2}},               // no device named
        {{"/nonexistent/helper", "/dev/loop0"}, {ENOENT, false, 0}},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.arguments.back());
        const PrivilegedOpenOutcome o = runProgramReceivingDescriptor(c.arguments);
        EXPECT_EQ(o.status, PrivilegedOpenOutcome::Failed);
        EXPECT_EQ(std::make_tuple(o.error, o.process.started, o.process.exitStatus), c.outcome);
    }

    const int direct = ::open("/dev/loop0", O_RDONLY | O_CLOEXEC);
    if (direct < 0)
        GTEST_SKIP() << "/dev/loop0 cannot be opened here (not root, or no loop devices)";
    ::close(direct);
    PrivilegedOpenOutcome opened = runProgramReceivingDescriptor({helper, "/dev/loop0"});
    ASSERT_EQ(opened.status, PrivilegedOpenOutcome::Opened);
    struct stat device, got;
    ASSERT_EQ(::stat("/dev/loop0", &device), 0);
    ASSERT_EQ(::fstat(opened.descriptor, &got), 0);
    EXPECT_TRUE(S_ISBLK(got.st_mode));
    EXPECT_EQ(got.st_rdev, device.st_rdev);
    EXPECT_EQ(::fcntl(opened.descriptor, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(opened.descriptor, F_GETFD) & FD_CLOEXEC, 0);
    ::close(opened.descriptor);
}

#ifdef GLEANER_HAVE_GIO

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

namespace {

// A stand-in for the udisks2 daemon: what it answers, and what it was asked.
struct FakeUDisks {
    std::string devicePath;      // the one device it knows, an image file
    const char* error = nullptr; // the D-Bus error (after org.freedesktop.) answered instead of a descriptor
    gint32 handle = 0;           // the index answered into the descriptor list of one
    std::string asked;           // the mode asked for, and whether the person may be asked
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
        const bool interactive = g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION;
        fake->asked = std::string(mode) + (interactive ? " interactive" : "");
        if (fake->error) {
            g_object_unref(reply);
            reply =
                g_dbus_message_new_method_error(call, ("org.freedesktop." + std::string(fake->error)).c_str(), "no");
        } else {
            const int fd = ::open(fake->devicePath.c_str(), O_RDONLY);
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
    const std::unique_ptr<GVariant, decltype(&g_variant_unref)> owned(
        g_dbus_connection_call_sync(service.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "RequestName",
                                    g_variant_new("(su)", "org.freedesktop.UDisks2", 4u), G_VARIANT_TYPE("(u)"),
                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr),
        g_variant_unref);
    ASSERT_NE(owned, nullptr);

    // GLib's own refusal of a bad index is a critical: made fatal here, none may come.
    const GLogLevelFlags fatal = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    using Outcome = PrivilegedOpenOutcome;
    const struct {
        const char* device;
        const char* answer; // a D-Bus error instead of a descriptor
        gint32 handle;
        bool unavailable;
        Outcome::Status status;
        int error;
    } cases[] = {
        {"disk.img", nullptr, 0, false, Outcome::Opened, 0},
        {"disk.img", "UDisks2.Error.NotAuthorizedDismissed", 0, false, Outcome::Cancelled, 0},
        {"disk.img", "UDisks2.Error.Failed", 0, false, Outcome::Failed, EIO},
        {"disk.img", "DBus.Error.ServiceUnknown", 0, true, Outcome::Failed, EIO},
        {"disk.img", nullptr, 1, false, Outcome::Failed, EPROTO},
        {"disk.img", nullptr, -1, false, Outcome::Failed, EPROTO},
        {"other.img", nullptr, 0, true, Outcome::Failed, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " " + (c.answer ? c.answer : "") + " " + std::to_string(c.handle));
        fake.error = c.answer;
        fake.handle = c.handle;
        fake.asked.clear();
        unavailable = !c.unavailable;
        const Outcome outcome = udisksOpenDevice(folder.file(c.device), &unavailable);
        const char* asked = std::string(c.device) == "disk.img" ? "r interactive" : "";
        EXPECT_EQ(std::make_tuple(unavailable, fake.asked, outcome.status, outcome.error, outcome.descriptor >= 0),
                  std::make_tuple(c.unavailable, std::string(asked), c.status, c.error, c.status == Outcome::Opened));
        if (outcome.descriptor >= 0)
            ::close(outcome.descriptor);
    }
    g_log_set_always_fatal(fatal);
    environment.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    unavailable = false;
    udisksOpenDevice(fake.devicePath, &unavailable);
    EXPECT_TRUE(unavailable) << "no bus";
}

#endif
