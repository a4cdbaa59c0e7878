#include "device/SessionPool.h"

#include "platform/Interrupt.h"

namespace {

using Clock = std::chrono::steady_clock;

// The session's parked transfer, as far as the pool cares.
TReFtp::TDirection Parked(const TReFtp& ftp) {
  return ftp.Direction();
}

}  // namespace

TSessionPool::TLease::~TLease() {
  if (pool_ == nullptr) return;
  TReFtp& ftp = **this;
  // A session that has just transferred asks for its next passive endpoint on the way out,
  // while it is still this request's alone.
  if (ftp.Direction() == TReFtp::TDirection::None) ftp.AskPassiveAhead();
  pool_->Release(slot_);
}

TReFtp& TSessionPool::TLease::operator*() const NO_THREAD_SAFETY_ANALYSIS {
  // The lease makes the session this thread's alone; the vector only grows under the lock and
  // holds the slot by pointer, so the slot itself never moves.
  return *pool_->slots_[static_cast<size_t>(slot_)]->ftp;
}

TSessionPool::TSessionPool(std::function<std::unique_ptr<TReFtp>()> makeSession, int limit,
                           bool idleClose)
    : makeSession_(std::move(makeSession)), limit_(limit < 1 ? 1 : limit) {
  slots_.reserve(static_cast<size_t>(limit_));
  if (idleClose) reaper_ = std::thread([this] { CloseIdleSessions(); });
}

TSessionPool::~TSessionPool() {
  {
    veldra::TMutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.NotifyAll();
  reaperWake_.NotifyAll();
  if (reaper_.joinable()) reaper_.join();
  veldra::TMutexLock lock(mutex_);
  for (auto& slot : slots_) {
    // A file copied just before the unmount must arrive whole: its upload is finished before
    // the connection closes. An open download is simply dropped.
    if (slot->ftp->Direction() == TReFtp::TDirection::Upload) slot->ftp->AbortTransfer();
    slot->ftp->CloseConnection();
  }
}

int TSessionPool::PickIdle(const TWant* want) {
  // Without a parked transfer: a session whose passive endpoint asked ahead has come first
  // (its next transfer sends only the command), then one with none asked, then one still
  // waiting for it (the reply is at most a round trip away).
  // A continuation is looked for first: it is every read of a sequential reader, and the
  // ranking may ask a socket.
  for (size_t i = 0; want != nullptr && i < slots_.size(); ++i) {
    const TSlot& slot = *slots_[i];
    const TReFtp& ftp = *slot.ftp;
    if (!slot.busy && slot.connected && ftp.Direction() == want->direction &&
        ftp.TransferPath() == want->path &&
        (want->offset < 0 || ftp.TransferPosition() == want->offset)) {
      return static_cast<int>(i);
    }
  }
  int plain = -1;
  int plainRank = 3;
  for (size_t i = 0; i < slots_.size(); ++i) {
    const TSlot& slot = *slots_[i];
    TReFtp& ftp = *slot.ftp;
    if (slot.busy || !slot.connected || Parked(ftp) != TReFtp::TDirection::None) continue;
    static constexpr int kRankOfState[] = {1, 2, 0};  // none, asked, come
    const int rank = kRankOfState[ftp.PassiveAheadState()];
    if (rank < plainRank) {
      plain = static_cast<int>(i);
      plainRank = rank;
    }
  }
  return plain;
}

int TSessionPool::PickVictim() {
  // The parked transfer idle longest goes first; a download before any upload, because a
  // finished upload costs its writer a new transfer while an aborted download costs a REST.
  int victim = -1;
  for (size_t i = 0; i < slots_.size(); ++i) {
    const TSlot& slot = *slots_[i];
    if (slot.busy || !slot.connected) continue;
    if (victim < 0) {
      victim = static_cast<int>(i);
      continue;
    }
    const TSlot& best = *slots_[static_cast<size_t>(victim)];
    const bool upload = Parked(*slot.ftp) == TReFtp::TDirection::Upload;
    const bool bestUpload = Parked(*best.ftp) == TReFtp::TDirection::Upload;
    if (upload != bestUpload ? !upload : slot.lastUsed < best.lastUsed)
      victim = static_cast<int>(i);
  }
  return victim;
}

void TSessionPool::WaitForChange(veldra::TMutexLock& /*lock*/) {
  changed_.WaitFor(mutex_, std::chrono::milliseconds(veldra::platform::kInterruptSliceMs));
}

TSessionPool::TLease TSessionPool::Acquire(const TWant* want) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kAcquireWaitMs);
  veldra::TMutexLock lock(mutex_);
  for (;;) {
    if (stopping_) throw EIdNotConnected("Not Connected");
    int slot = PickIdle(want);
    bool connect = false;
    if (slot < 0) {
      slot = PickUnconnected();
      connect = slot >= 0;
    }
    if (slot < 0) slot = PickVictim();
    if (slot >= 0) {
      slots_[static_cast<size_t>(slot)]->busy = true;
      if (!connect || ConnectSlot(slot)) return TLease(this, slot);
      continue;
    }
    if (veldra::platform::InterruptRequested())
      throw EIdSocketError(10004, "Interrupted function call.");
    if (Clock::now() > deadline) throw EIdReadTimeout("No FTP session became free.");
    WaitForChange(lock);
  }
}

int TSessionPool::PickUnconnected() {
  int connected = connecting_;
  for (const auto& s : slots_) connected += s->connected ? 1 : 0;
  if (connected >= limit_) return -1;
  // A slot closed for idleness comes back first; otherwise a new one.
  for (size_t i = 0; i < slots_.size(); ++i)
    if (!slots_[i]->busy && !slots_[i]->connected) return static_cast<int>(i);
  slots_.push_back(std::make_unique<TSlot>());
  slots_.back()->ftp = makeSession_();
  return static_cast<int>(slots_.size() - 1);
}

bool TSessionPool::ConnectSlot(int slot) {
  TSlot& s = *slots_[static_cast<size_t>(slot)];  // stays put while the vector grows
  ++connecting_;
  mutex_.Unlock();
  try {
    s.ftp->Connect();
  } catch (const Exception& e) {
    mutex_.Lock();
    --connecting_;
    s.busy = false;
    int connected = 0;
    for (const auto& other : slots_) connected += other->connected ? 1 : 0;
    // The first session's failure is the mount's; a further one means the server takes
    // no more connections from us: make do with those it took.
    if (connected == 0 || IsInterruption(e)) throw;
    limit_ = connected;
    changed_.NotifyAll();
    return false;
  }
  mutex_.Lock();
  --connecting_;
  s.connected = true;
  ++logins_;
  return true;
}

std::optional<TSessionPool::TLease> TSessionPool::TryAcquireSpare() {
  veldra::TMutexLock lock(mutex_);
  if (stopping_) return std::nullopt;
  int busy = connecting_;
  for (const auto& s : slots_) busy += s->busy ? 1 : 0;
  if (busy + 1 >= limit_) return std::nullopt;  // one session stays for the program's requests
  int slot = PickIdle(nullptr);
  const bool connect = slot < 0;
  if (connect) slot = PickUnconnected();
  if (slot < 0) return std::nullopt;
  slots_[static_cast<size_t>(slot)]->busy = true;
  try {
    if (!connect || ConnectSlot(slot)) return TLease(this, slot);
  } catch (const Exception&) {
  }
  return std::nullopt;
}

std::optional<TSessionPool::TLease> TSessionPool::AcquireHolding(const TWant& want) {
  veldra::TMutexLock lock(mutex_);
  for (;;) {
    bool heldByBusy = false;
    for (size_t i = 0; i < slots_.size(); ++i) {
      TSlot& slot = *slots_[i];
      if (slot.busy) {
        // A session in use was last seen holding it (another request may be finishing it).
        heldByBusy =
            heldByBusy || (slot.heldDirection == want.direction && slot.heldPath == want.path);
        continue;
      }
      const TReFtp& ftp = *slot.ftp;
      if (ftp.Direction() == want.direction && ftp.TransferPath() == want.path) {
        slot.busy = true;
        return TLease(this, static_cast<int>(i));
      }
    }
    if (!heldByBusy) return std::nullopt;
    if (veldra::platform::InterruptRequested())
      throw EIdSocketError(10004, "Interrupted function call.");
    WaitForChange(lock);
  }
}

void TSessionPool::Release(int slot) {
  {
    veldra::TMutexLock lock(mutex_);
    TSlot& s = *slots_[static_cast<size_t>(slot)];
    s.busy = false;
    s.lastUsed = Clock::now();
    s.heldPath = s.ftp->TransferPath();
    s.heldDirection = s.ftp->Direction();
    // A session whose connection was lost stays a slot; its next command reconnects.
  }
  changed_.NotifyAll();
}

int TSessionPool::Live() const {
  veldra::TMutexLock lock(mutex_);
  int connected = connecting_;
  for (const auto& s : slots_) connected += s->connected ? 1 : 0;
  return connected;
}

int TSessionPool::Limit() const {
  veldra::TMutexLock lock(mutex_);
  return limit_;
}

int TSessionPool::Logins() const {
  veldra::TMutexLock lock(mutex_);
  int logins = logins_;
  for (const auto& s : slots_)
    if (!s->busy) logins += s->ftp->ReconnectCount();
  return logins;
}

void TSessionPool::CloseIdleSessions() {
  veldra::TMutexLock lock(mutex_);
  while (!stopping_) {
    // Its own condition: woken at every release, it would cost each request a context switch.
    reaperWake_.WaitFor(mutex_, std::chrono::seconds(5));
    if (stopping_) break;
    const Clock::time_point now = Clock::now();
    // The most recently used session stays: the next request need not log in again.
    int newest = -1;
    for (size_t i = 0; i < slots_.size(); ++i) {
      const TSlot& s = *slots_[i];
      if (s.connected && (newest < 0 || s.lastUsed > slots_[static_cast<size_t>(newest)]->lastUsed))
        newest = static_cast<int>(i);
    }
    for (size_t i = 0; i < slots_.size(); ++i) {
      TSlot& s = *slots_[i];
      if (!s.busy && s.connected &&
          s.ftp->PassiveAheadAge() > std::chrono::milliseconds(TReFtp::kPassiveAheadMs) &&
          s.ftp->PassiveAheadOutstanding()) {
        // Unused for too long to be used at all: given back before the server times it out.
        s.busy = true;
        lock.Unlock();
        s.ftp->DropPassiveAhead();
        lock.Lock();
        s.busy = false;
      }
      if (static_cast<int>(i) == newest || s.busy || !s.connected ||
          now - s.lastUsed < std::chrono::milliseconds(kIdleCloseMs)) {
        continue;
      }
      s.busy = true;
      lock.Unlock();
      s.ftp->AbortTransfer();  // a parked upload is finished, a download aborted
      s.ftp->CloseConnection();
      lock.Lock();
      s.connected = false;
      s.busy = false;
    }
    changed_.NotifyAll();
  }
}
