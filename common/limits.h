#pragma once
// Every network wait and every count the program bounds, in one place.
#include <chrono>

namespace snapvane {

using std::chrono::seconds;

inline constexpr seconds kHttpRequestTimeout{10};   // wait for a browser's request
inline constexpr seconds kSendStallTimeout{30};     // a send that makes no progress
inline constexpr seconds kHttpLingerTimeout{2};     // client's close after our answer
inline constexpr int kMaxAcceptsPerWake = 256;      // connections taken per wake
inline constexpr int kHostLookupThreads = 2;        // reverse lookups running at once
inline constexpr int kHostLookupsQueued = 256;      // waiting lookups; more get an error text
inline constexpr seconds kShortageReportEvery{1};   // "no descriptor left" on standard error
inline constexpr std::chrono::milliseconds kAcceptPauseOnShortage{100};  // and no spare left
inline constexpr seconds kHostNameKeptFor{60};      // a visitor's looked-up name is reused
inline constexpr int kHostNamesKept = 64;           // visitors whose names are kept
inline constexpr seconds kFtpConnectTimeout{15};
inline constexpr seconds kFtpReplyTimeout{30};
inline constexpr seconds kFtpDataConnectTimeout{30};
inline constexpr int kMaxFtpRenameRepeats = 10;     // RNFR/RNTO repeats after 450
inline constexpr seconds kFtpQuitTimeout{3};        // QUIT's reply: the outcome is known
inline constexpr std::chrono::milliseconds kSnapshotFreshFor{1000};  // HTTP clients share

}  // namespace snapvane
