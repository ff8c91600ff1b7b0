// Store and forward: the piece between the host's reports and the MQTT link that makes the
// gateway lose nothing. It knows no sockets and reads no clock of its own, so every rule below
// is testable without a broker and without waiting.
//
// Every live report is first committed to the store (Commit), then handed to the link to
// publish (Take). A report leaves the store only when the broker is known to have it. For
// Sparkplug data, QoS 0 by rule, there is no acknowledgement of its own; the proof is a QoS 1
// message published after it on the same connection (the checkpoint): MQTT keeps the order of
// one connection's messages and the broker reads its TCP stream in order, so the checkpoint's
// PUBACK means the broker has read every message sent before it. The same holds for QoS 1 data,
// so one rule serves both formats.
//
// How the MQTT link drives it (all times from one monotonic clock, in ms):
//
//   host threads:      forwarder.Add(report, now)             for every report, never waits on disk;
//                                                             wake the link when it says true
//   link thread loop:  forwarder.Commit(now)                  the pending batch to the store, when due
//                      wait at most forwarder.NextDue(now) ms before the next turn
//   connected, births published:
//                      forwarder.Connected(now)               what is stored becomes the backlog
//   each turn while connected:
//                      for (auto& o : forwarder.Take(now))    live first, then the backlog, paced
//                          publish protocol.OnReport(o.report, ...)   (o.report.historical set for
//                                                                      the backlog)
//                      if (auto token = forwarder.Checkpoint())
//                          mid = publish CheckpointTopic(...), empty payload, QoS 1, not retained
//                          remember mid -> *token
//   PUBACK of mid:     forwarder.Confirmed(token)             those reports leave the store
//   connection lost:   forwarder.Disconnected()               nothing sent is forgotten: what
//                                                             was not confirmed is sent again,
//                                                             as backlog, after the next Connected
//   orderly stop:      forwarder.Flush()                      everything added is on the disk
//
// Delivery is at least once: a report taken but not confirmed before a cut is sent again after
// the reconnect with the same acquisition time and values (marked historical the second time).
//
// Thread-safe: Add from any thread; the rest from the link's threads (one internal lock).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "report.hpp"
#include "store.hpp"

namespace gateway {

using SteadyMs = std::int64_t;

struct ForwarderSettings {
    int replayPerS = 500;           // stored reports sent per second after a reconnect
    int commitEveryMs = 3;          // a batch is committed at most this often (1..200): fewer
                                    // transactions under load, and a report waits no longer
                                    // than this before it may be sent
    std::size_t maxInFlight = 20000;   // sent, not yet confirmed: beyond this, sending waits
    std::size_t maxHeld = 100000;      // reports held in memory while the store cannot take them
    std::size_t maxPerTake = 1000;     // live reports handed out in one Take
};

// One report for the link to publish.
struct Outgoing {
    ReportId id = 0;  // 0: the store could not take it; sent once, nothing to confirm
    Report report;    // historical = true when it comes from the backlog
};

struct ForwarderStatus {
    std::uint64_t stored = 0;     // reports in the store, not yet confirmed by the broker
    std::uint64_t inFlight = 0;   // sent, waiting for a checkpoint's PUBACK
    std::uint64_t held = 0;       // in memory only, because the store failed
    bool replaying = false;       // the backlog of a reconnect is still being sent
    std::uint64_t confirmed = 0;  // reports the broker confirmed, since the start
    std::uint64_t dropped = 0;    // reports lost to the bound or to a failed store, since the start
};

// The topic of the checkpoint message: outside the Sparkplug namespace, so Sparkplug hosts never
// see it.
std::string CheckpointTopic(const std::string& group, const std::string& node);

class Forwarder {
public:
    Forwarder(Store* store, const ForwarderSettings& settings);

    // True when the link thread must be woken for it: nothing was waiting for a commit before
    // it (the link already waits for the commit that takes what was waiting), and the link was
    // not told by NextDue to turn at the end of the current commit period anyway.
    bool Add(Report report, SteadyMs now);

    // Appends what was added since the last commit, when at least commitEveryMs have passed
    // since that commit and since the first report added after its period.
    // A store that fails keeps the batch in memory (sent live, not durable; the error is in
    // TakeError) so the values still reach the broker.
    void Commit(SteadyMs now);
    // Commits everything added, whatever the time: before an orderly stop.
    void Flush();
    // How long the caller may wait before the next Commit/Take is due (ms, >= 0); -1: nothing due.
    // `canSend` false: the caller cannot take now (its own queue is full), only commits count.
    SteadyMs NextDue(SteadyMs now, bool canSend = true);

    void Connected(SteadyMs now);
    void Disconnected();
    // What to publish now, in order: reports the store could not take, live reports, then the
    // backlog as the pace allows. Empty while disconnected.
    std::vector<Outgoing> Take(SteadyMs now);
    // A token for a checkpoint covering everything taken since the last one; nullopt if nothing
    // was taken (no checkpoint needed).
    std::optional<std::uint64_t> Checkpoint();
    // The checkpoint's PUBACK. Tokens of an earlier connection are ignored.
    void Confirmed(std::uint64_t token);
    // Reports the broker acknowledged one by one (a link that publishes data at QoS 1 and keeps
    // its own message ids may use this instead of checkpoints).
    void Delivered(const std::vector<ReportId>& ids);

    ForwarderStatus Status();
    // The store's NextBdSeq, under the forwarder's lock.
    std::optional<int> NextBdSeq(std::string* error);
    // Reports lost since the last call (the store's bound, or more held than maxHeld), with the
    // span of their acquisition times: for a log line once a minute.
    Dropped TakeDropped();
    // The store's failures since the last call, one line each kind; empty if none.
    std::vector<std::string> TakeErrors();

private:
    // When what was added is to be committed (under addMutex_, with added_ not empty): at the
    // end of the period that began with the last commit, or a period after the first report of
    // a batch begun after that.
    SteadyMs CommitDue() const;
    void CommitLocked(std::vector<Report> batch);
    void SyncLocked(SteadyMs now, bool whenever);
    void Hold(std::vector<Report> batch);
    void Error(const std::string& text);
    void Refill(SteadyMs now);
    void Remove(const std::vector<ReportId>& ids);
    void GatherDropped();

    Store* store_;
    ForwarderSettings settings_;

    std::mutex addMutex_;
    std::vector<Report> added_;
    Dropped addDropped_;
    SteadyMs firstAdded_ = 0;   // when the first of added_ came
    SteadyMs linkWakesBy_ = 0;  // NextDue told the caller to turn by then

    std::mutex mutex_;
    std::optional<SteadyMs> lastCommit_;
    std::optional<SteadyMs> lastSync_;
    bool unsynced_ = false;  // committed or removed since the last Sync
    std::deque<Report> held_;
    bool connected_ = false;
    ReportId backlogEnd_ = 0;    // the last id stored before this connection
    ReportId backlogAfter_ = 0;  // the backlog is sent up to here
    ReportId liveAfter_ = 0;     // live reports are sent up to here
    // The live reports as they were committed, so they go out without being read back from the
    // disk. Used while complete: it then holds exactly the stored reports after liveAfter_.
    std::deque<StoredReport> recent_;
    bool recentComplete_ = false;
    std::int64_t milliTokens_ = 0;
    SteadyMs lastRefill_ = 0;
    std::vector<ReportId> unmarked_;  // taken, no checkpoint yet
    std::map<std::uint64_t, std::vector<ReportId>> checkpoints_;
    std::size_t inFlight_ = 0;
    std::uint64_t nextToken_ = 1;
    std::uint64_t confirmed_ = 0;
    std::uint64_t droppedTotal_ = 0;
    Dropped dropped_;
    std::vector<std::string> errors_;
};

}  // namespace gateway
