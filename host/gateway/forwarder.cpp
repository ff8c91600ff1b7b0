#include "forwarder.hpp"

#include <algorithm>

namespace gateway {

namespace {

// The backlog may catch up on at most this much idle time at once, so a link that turned late
// does not burst.
constexpr std::int64_t kBurstMs = 200;
// Live reports kept in memory between their commit and their Take; past this (a link that cannot
// send) they are read back from the store when their turn comes.
constexpr std::size_t kMostRecent = 5000;
// What is committed is synced to the disk at most this long after: what a power cut may take.
constexpr SteadyMs kSyncEveryMs = 1000;

Dropped SpanOf(const std::deque<Report>& reports, std::size_t n) {
    Dropped d;
    for (std::size_t i = 0; i < n; ++i) d.Add(Dropped{1, {reports[i].timeMs, reports[i].timeMs}});
    return d;
}

}  // namespace

std::string CheckpointTopic(const std::string& group, const std::string& node) {
    return "vpivg/" + group + "/" + node + "/checkpoint";
}

Forwarder::Forwarder(Store* store, const ForwarderSettings& settings) : store_(store), settings_(settings) {
    settings_.commitEveryMs = std::clamp(settings_.commitEveryMs, 1, 200);
    settings_.replayPerS = std::max(1, settings_.replayPerS);
    settings_.maxPerTake = std::max<std::size_t>(1, settings_.maxPerTake);
}

bool Forwarder::Add(Report report, SteadyMs now) {
    std::lock_guard lock(addMutex_);
    if (added_.empty()) firstAdded_ = now;
    const bool first = added_.empty() && now >= linkWakesBy_;
    // Only a link thread that stopped turning lets this grow; the oldest then go, counted.
    if (added_.size() >= settings_.maxHeld) {
        addDropped_.Add(Dropped{1, {added_.front().timeMs, added_.front().timeMs}});
        added_.erase(added_.begin());
    }
    added_.push_back(std::move(report));
    return first;
}

void Forwarder::Commit(SteadyMs now) {
    std::lock_guard lock(mutex_);
    SyncLocked(now, false);
    std::vector<Report> batch;
    {
        std::lock_guard addLock(addMutex_);
        if (added_.empty() || now < CommitDue()) return;
        batch.swap(added_);
    }
    lastCommit_ = now;
    CommitLocked(std::move(batch));
    if (!lastSync_) lastSync_ = now;  // the first second starts with the first commit
}

SteadyMs Forwarder::CommitDue() const {
    const SteadyMs period = settings_.commitEveryMs;
    if (lastCommit_ && firstAdded_ < *lastCommit_ + period) return *lastCommit_ + period;
    // The first report after a lull waits a period of its own, so that those that follow it
    // closely (one read off a busy line brings several) share its commit and the link's turn.
    return firstAdded_ + period;
}

void Forwarder::SyncLocked(SteadyMs now, bool whenever) {
    if (!unsynced_ || (!whenever && lastSync_ && now - *lastSync_ < kSyncEveryMs)) return;
    std::string error;
    if (!store_->Sync(&error)) Error(error);
    unsynced_ = false;
    lastSync_ = now;
}

void Forwarder::Flush() {
    std::lock_guard lock(mutex_);
    std::vector<Report> batch;
    {
        std::lock_guard addLock(addMutex_);
        batch.swap(added_);
    }
    CommitLocked(std::move(batch));
    SyncLocked(lastSync_.value_or(0), true);
}

void Forwarder::CommitLocked(std::vector<Report> batch) {
    if (batch.empty()) return;
    std::string error;
    std::vector<ReportId> ids;
    if (!store_->Append(batch, &error, &ids)) {
        Error(error + "; the reports are held in memory and sent, but not stored");
        Hold(std::move(batch));
        return;
    }
    unsynced_ = true;
    if (!connected_ || !recentComplete_) return;
    if (recent_.size() + batch.size() > kMostRecent) {
        recent_.clear();
        recentComplete_ = false;
        return;
    }
    for (std::size_t i = 0; i < batch.size(); ++i) recent_.push_back(StoredReport{ids[i], std::move(batch[i])});
}

void Forwarder::Hold(std::vector<Report> batch) {
    for (Report& r : batch) {
        if (!connected_) r.historical = true;
        held_.push_back(std::move(r));
    }
    if (held_.size() > settings_.maxHeld) {
        std::size_t excess = held_.size() - settings_.maxHeld;
        dropped_.Add(SpanOf(held_, excess));
        droppedTotal_ += excess;
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(excess));
    }
}

void Forwarder::Error(const std::string& text) {
    if (std::find(errors_.begin(), errors_.end(), text) == errors_.end()) errors_.push_back(text);
}

SteadyMs Forwarder::NextDue(SteadyMs now, bool canSend) {
    std::lock_guard lock(mutex_);
    // Until the commit period that began with the last commit is over, the caller is asked to
    // turn at its end even with nothing waiting: a report added meanwhile then needs no wake-up
    // of its own, and under a steady flow the link wakes once a commit instead of twice.
    const SteadyMs periodEnd = lastCommit_ ? *lastCommit_ + settings_.commitEveryMs : 0;
    bool pending;
    SteadyMs commitAt = periodEnd;
    {
        // Under the lock Add takes: a report added before this sees the caller told to turn for
        // it, one added after sees the promise to turn by the period's end.
        std::lock_guard addLock(addMutex_);
        pending = !added_.empty();
        if (pending) commitAt = CommitDue();
        linkWakesBy_ = periodEnd > now ? periodEnd : 0;
    }
    SteadyMs due = -1;
    if (pending || periodEnd > now) due = std::max<SteadyMs>(0, commitAt - now);
    if (unsynced_) {
        SteadyMs sync = lastSync_ ? std::max<SteadyMs>(0, *lastSync_ + kSyncEveryMs - now) : 0;
        due = due < 0 ? sync : std::min(due, sync);
    }
    if (connected_ && canSend) {
        bool more = !held_.empty() || store_->LastId() > liveAfter_;
        if (more && inFlight_ < settings_.maxInFlight) return 0;
        // The backlog: the time until one more report's worth of pace has built up.
        if (backlogAfter_ < backlogEnd_ && inFlight_ < settings_.maxInFlight) {
            std::int64_t missing = std::max<std::int64_t>(0, 1000 - milliTokens_);
            SteadyMs wait = std::max<SteadyMs>(0, lastRefill_ + (missing + settings_.replayPerS - 1) / settings_.replayPerS - now);
            due = due < 0 ? wait : std::min(due, wait);
        }
    }
    return due;
}

void Forwarder::Connected(SteadyMs now) {
    std::lock_guard lock(mutex_);
    connected_ = true;
    backlogEnd_ = store_->LastId();
    backlogAfter_ = 0;
    liveAfter_ = backlogEnd_;
    recent_.clear();
    recentComplete_ = true;
    milliTokens_ = 0;
    lastRefill_ = now;
    unmarked_.clear();
    checkpoints_.clear();
    inFlight_ = 0;
}

void Forwarder::Disconnected() {
    std::lock_guard lock(mutex_);
    connected_ = false;
    recent_.clear();
    recentComplete_ = false;
    unmarked_.clear();
    checkpoints_.clear();
    inFlight_ = 0;
}

void Forwarder::Refill(SteadyMs now) {
    SteadyMs elapsed = std::max<SteadyMs>(0, now - lastRefill_);
    lastRefill_ = now;
    std::int64_t cap = static_cast<std::int64_t>(settings_.replayPerS) * kBurstMs;
    // At least one report's worth, so a pace under 5 a second still moves.
    cap = std::max<std::int64_t>(cap, 1000);
    milliTokens_ = std::min(cap, milliTokens_ + std::min<SteadyMs>(elapsed, kBurstMs * 10) * settings_.replayPerS);
}

std::vector<Outgoing> Forwarder::Take(SteadyMs now) {
    std::lock_guard lock(mutex_);
    std::vector<Outgoing> out;
    if (!connected_) return out;
    Refill(now);
    // Held reports have no store to fall back on: they go first.
    while (!held_.empty() && out.size() < settings_.maxPerTake) {
        out.push_back(Outgoing{0, std::move(held_.front())});
        held_.pop_front();
    }
    std::string error;
    std::vector<StoredReport> rows;
    std::size_t room = settings_.maxInFlight > inFlight_ ? settings_.maxInFlight - inFlight_ : 0;
    std::size_t live = std::min(room, settings_.maxPerTake - std::min(settings_.maxPerTake, out.size()));
    if (live > 0 && recentComplete_) {
        std::size_t taken = 0;
        for (; taken < live && !recent_.empty(); ++taken) {
            StoredReport& s = recent_.front();
            liveAfter_ = s.id;
            unmarked_.push_back(s.id);
            ++inFlight_;
            out.push_back(Outgoing{s.id, std::move(s.report)});
            recent_.pop_front();
        }
        room -= taken;
    } else if (live > 0 && store_->LastId() > liveAfter_) {
        if (!store_->Read(live, liveAfter_, store_->LastId(), &rows, &error)) {
            Error(error);
        } else {
            // Dropped ids stay behind too.
            liveAfter_ = rows.empty() ? store_->LastId() : rows.back().id;
            if (rows.size() < live) liveAfter_ = store_->LastId();
            for (StoredReport& s : rows) {
                unmarked_.push_back(s.id);
                ++inFlight_;
                out.push_back(Outgoing{s.id, std::move(s.report)});
            }
            room -= rows.size();
            // Caught up: from here on the live reports come from memory again.
            if (liveAfter_ == store_->LastId()) recentComplete_ = true;
        }
    }
    std::size_t paced = static_cast<std::size_t>(milliTokens_ / 1000);
    std::size_t backlog = std::min(room, paced);
    if (backlog > 0 && backlogAfter_ < backlogEnd_) {
        if (!store_->Read(backlog, backlogAfter_, backlogEnd_, &rows, &error)) {
            Error(error);
        } else {
            backlogAfter_ = rows.size() < backlog ? backlogEnd_ : rows.back().id;
            milliTokens_ -= static_cast<std::int64_t>(rows.size()) * 1000;
            for (StoredReport& s : rows) {
                s.report.historical = true;
                unmarked_.push_back(s.id);
                ++inFlight_;
                out.push_back(Outgoing{s.id, std::move(s.report)});
            }
        }
    }
    return out;
}

std::optional<std::uint64_t> Forwarder::Checkpoint() {
    std::lock_guard lock(mutex_);
    if (!connected_ || unmarked_.empty()) return std::nullopt;
    std::uint64_t token = nextToken_++;
    checkpoints_[token] = std::move(unmarked_);
    unmarked_.clear();
    return token;
}

void Forwarder::Confirmed(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    auto it = checkpoints_.find(token);
    if (it == checkpoints_.end()) return;
    std::vector<ReportId> ids = std::move(it->second);
    checkpoints_.erase(it);
    inFlight_ -= std::min(inFlight_, ids.size());
    Remove(ids);
}

void Forwarder::Delivered(const std::vector<ReportId>& ids) {
    std::lock_guard lock(mutex_);
    // Taken ids acknowledged one by one no longer wait for a checkpoint.
    std::vector<ReportId> sorted(ids);
    std::sort(sorted.begin(), sorted.end());
    std::size_t before = unmarked_.size();
    std::erase_if(unmarked_, [&](ReportId id) { return std::binary_search(sorted.begin(), sorted.end(), id); });
    inFlight_ -= std::min(inFlight_, before - unmarked_.size());
    Remove(ids);
}

void Forwarder::Remove(const std::vector<ReportId>& ids) {
    std::vector<ReportId> stored;
    for (ReportId id : ids) {
        if (id > 0) stored.push_back(id);
    }
    if (stored.empty()) return;
    // They leave the disk with the next commit, or with the next sync if none comes first; a
    // removal that fails leaves them stored, and they are sent again, never lost.
    store_->Remove(stored);
    unsynced_ = true;
    confirmed_ += stored.size();
}

void Forwarder::GatherDropped() {
    Dropped fromStore = store_->TakeDropped();
    droppedTotal_ += fromStore.count;
    dropped_.Add(fromStore);
    std::lock_guard addLock(addMutex_);
    droppedTotal_ += addDropped_.count;
    dropped_.Add(addDropped_);
    addDropped_ = Dropped{};
}

ForwarderStatus Forwarder::Status() {
    std::lock_guard lock(mutex_);
    GatherDropped();
    ForwarderStatus s;
    s.stored = store_->Count();
    s.inFlight = inFlight_;
    s.held = held_.size();
    s.replaying = connected_ && backlogAfter_ < backlogEnd_;
    s.confirmed = confirmed_;
    s.dropped = droppedTotal_;
    return s;
}

std::optional<int> Forwarder::NextBdSeq(std::string* error) {
    std::lock_guard lock(mutex_);
    return store_->NextBdSeq(error);
}

Dropped Forwarder::TakeDropped() {
    std::lock_guard lock(mutex_);
    GatherDropped();
    Dropped d = dropped_;
    dropped_ = Dropped{};
    return d;
}

std::vector<std::string> Forwarder::TakeErrors() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> errors;
    errors.swap(errors_);
    return errors;
}

}  // namespace gateway
