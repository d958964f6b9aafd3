#ifndef ORVIND_PATHS_H
#define ORVIND_PATHS_H

// Every fixed path of the daemon, in one place. The daemon has no configuration
// file: these are the places an administrator finds its files. Tests that run
// pieces outside the isolated root give folders of their own through IntakePaths
// and ForwardingPaths, which start from these values.
namespace paths {

// Holds the detached daemon's pid while it runs.
inline constexpr const char* kPidFile = "/var/run/orvind.pid";
// The daemon's log.
inline constexpr const char* kLogFile = "/var/log/vexa/orvind";
// The daemon's working folder.
inline constexpr const char* kWorkDir = "/opt/vexa/orvind";
// The named pipe the broker delivers into.
inline constexpr const char* kFifo = "/opt/vexa/orvind/indications.tmp";
// The destination registered with the broker: the pipe above as a file URL.
inline constexpr const char* kHandlerDestination = "file:///opt/vexa/orvind/indications.tmp";
// A copy of the document being handled; the parser reads it.
inline constexpr const char* kTempFile = "/opt/vexa/orvind/fifo.tmp";
// Documents taken from the pipe and not yet handled.
inline constexpr const char* kPendingFile = "/opt/vexa/orvind/indications.pending";
// Bytes of the pipe that belong to no document, kept for a look rather than deleted.
inline constexpr const char* kStrayFile = "/opt/vexa/orvind/indications.stray";
// The indication store.
inline constexpr const char* kDatabase = "/var/lib/orvind/indications.db";
// What the running daemon publishes about itself for orvindctl (subscribed, BMC, ...).
inline constexpr const char* kStateFile = "/opt/vexa/orvind/state";
// Where the built-in CIMC client registers: the local broker stand-in's repository.
inline constexpr const char* kBrokerRepository = "/var/lib/cim-broker";
// Id of the last row handed to the FPL writer.
inline constexpr const char* kFplMark = "/opt/vexa/orvind/fpl.log";
// Id of the last row handed to the halcyon event generator.
inline constexpr const char* kHalcyonMark = "/opt/vexa/orvind/zu.log";

// The helper that clears a stale pid file, where the package installs it.
inline constexpr const char* kPidfileHelper = "/usr/libexec/orvind/orvind-pidfile";

// The provider's folder and the release file whose packages the host facts name.
inline constexpr const char* kProviderDir = "/opt/vexa/vexa-qrx";
inline constexpr const char* kIssueFile = "/etc/issue";
// rpm's package database, in its older and its newer place: a change there means a
// package was installed, upgraded or removed.
inline constexpr const char* kRpmDatabase = "/var/lib/rpm";
inline constexpr const char* kRpmSysimage = "/usr/lib/sysimage/rpm";

// The handler destination names the pipe: the two must never drift apart.
constexpr bool sameText(const char* a, const char* b) {
    return *a == *b && (*a == '\0' || sameText(a + 1, b + 1));
}
static_assert(sameText(kHandlerDestination + 7, kFifo), "the handler must name the pipe");

} // namespace paths

#endif
