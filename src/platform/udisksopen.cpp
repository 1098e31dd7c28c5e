#include "privilegedopen.h"

#ifdef GLEANER_HAVE_GIO

#include <cerrno>
#include <cstring>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";

// Errors that mean the daemon is not there or cannot serve this request at all: nothing was asked.
bool meansUnavailable(const GError* error)
{
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND))
        return true;
    gchar* remote = g_dbus_error_get_remote_error(error);
    const bool unknown = remote && (std::strcmp(remote, "org.freedesktop.DBus.Error.UnknownMethod") == 0 ||
                                    std::strcmp(remote, "org.freedesktop.DBus.Error.UnknownObject") == 0);
    g_free(remote);
    return unknown;
}

// polkit's refusals: the person dismissed or cancelled the dialog, or was not authorized.
bool meansCancelled(const GError* error)
{
    gchar* remote = g_dbus_error_get_remote_error(error);
    const bool refused = remote && std::strncmp(remote, "org.freedesktop.UDisks2.Error.NotAuthorized",
                                                std::strlen("org.freedesktop.UDisks2.Error.NotAuthorized")) == 0;
    g_free(remote);
    return refused;
}

} // namespace

PrivilegedOpenOutcome udisksOpenDevice(const std::string& devicePath, bool* unavailable)
{
    *unavailable = true;
    PrivilegedOpenOutcome outcome;
    outcome.tool = kService;
    outcome.process.started = outcome.process.exited = true;
    GError* error = nullptr;
    // A connection of our own, closed after the call: the shared bus connection would end the
    // process if the bus went away.
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    GDBusConnection* bus = address ? g_dbus_connection_new_for_address_sync(
                                         address,
                                         GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                         nullptr, nullptr, &error)
                                   : nullptr;
    g_free(address);
    if (!bus) {
        g_clear_error(&error);
        return outcome;
    }
    const auto done = [&] {
        g_clear_error(&error);
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    };

    // The daemon's object for the device: it names objects its own way, so it is asked.
    GVariantBuilder deviceMatch;
    g_variant_builder_init(&deviceMatch, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&deviceMatch, "{sv}", "path", g_variant_new_string(devicePath.c_str()));
    GVariantBuilder noOptions;
    g_variant_builder_init(&noOptions, G_VARIANT_TYPE_VARDICT);
    GVariant* reply = g_dbus_connection_call_sync(bus, kService, "/org/freedesktop/UDisks2/Manager",
                                                  "org.freedesktop.UDisks2.Manager", "ResolveDevice",
                                                  g_variant_new("(a{sv}a{sv})", &deviceMatch, &noOptions),
                                                  G_VARIANT_TYPE("(ao)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    std::string object;
    if (reply) {
        GVariantIter* objects = nullptr;
        g_variant_get(reply, "(ao)", &objects);
        const gchar* first = nullptr;
        if (g_variant_iter_next(objects, "&o", &first))
            object = first;
        g_variant_iter_free(objects);
        g_variant_unref(reply);
    }
    if (object.empty()) {
        // Not running, too old to resolve, or the device is not one it manages: nothing was asked.
        done();
        return outcome;
    }

    // "r": read-only. polkit asks the person for an administrator's password; no time limit, since
    // the question waits for them.
    GUnixFDList* descriptors = nullptr;
    g_variant_builder_init(&noOptions, G_VARIANT_TYPE_VARDICT);
    reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, kService, object.c_str(), "org.freedesktop.UDisks2.Block", "OpenDevice",
        g_variant_new("(sa{sv})", "r", &noOptions), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION, G_MAXINT, nullptr, &descriptors, nullptr, &error);
    if (!reply) {
        *unavailable = meansUnavailable(error);
        if (meansCancelled(error)) {
            outcome.status = PrivilegedOpenOutcome::Cancelled;
        } else {
            outcome.error = EIO;
            outcome.process.exitStatus = error ? error->code : -1;
        }
        done();
        return outcome;
    }
    *unavailable = false;
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    // The handle is the daemon's word: one outside the list it sent is a broken reply, not an index.
    const bool listed = descriptors && index >= 0 && index < g_unix_fd_list_get_length(descriptors);
    const int fd = listed ? g_unix_fd_list_get(descriptors, index, &error) : -1;
    if (descriptors)
        g_object_unref(descriptors);
    done();
    if (fd < 0) {
        outcome.error = EPROTO;
        return outcome;
    }
    outcome.status = PrivilegedOpenOutcome::Opened;
    outcome.descriptor = fd;
    return outcome;
}

#else

PrivilegedOpenOutcome udisksOpenDevice(const std::string&, bool* unavailable)
{
    *unavailable = true;
    return {};
}

#endif
