// The control connections of one device: up to a limit of TReFtp sessions, each leased to one
// request at a time, so that a long transfer never holds up a listing or another file.
//
// A session keeps its open transfer between requests (a sequential reader or writer goes on
// where it stopped); a request for something else takes a session without one, or opens a new
// connection up to the limit, before it closes another request's parked transfer (a download
// first, an upload last). A server that refuses a further connection (421, "530 too many",
// or a dropped greeting) lowers the limit to what it allowed, for the rest of the mount; the
// request then waits for a free session instead of failing. Sessions idle for kIdleCloseMs
// are closed (one stays). A lost connection is replaced by the session itself on its next
// command.
//
// A lease that ends without a parked transfer lets its session ask for its next passive
// endpoint (TIdFTP::AskPassiveAhead); among idle sessions without a parked transfer, one whose
// endpoint has come is handed out first, then one with none asked, then one still waiting for
// the reply. The reaper gives back listeners left unused past TIdFTP::kPassiveAheadMs.
//
// Thread-safe. Lock order: a caller may hold a file's lock and the open-file table's lock
// when it calls in; the pool's own lock is held only briefly and never across network I/O.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/ureftp.h"
#include "platform/Mutex.h"

class TSessionPool {
 public:
  // A session checked out for one request; back in the pool when the lease ends.
  class TLease {
   public:
    TLease(TSessionPool* pool, int slot) : pool_(pool), slot_(slot) {}
    TLease(TLease&& other) noexcept : pool_(other.pool_), slot_(other.slot_) {
      other.pool_ = nullptr;
    }
    TLease& operator=(TLease&&) = delete;
    TLease(const TLease&) = delete;
    TLease& operator=(const TLease&) = delete;
    ~TLease();

    TReFtp& operator*() const;
    TReFtp* operator->() const { return &**this; }

   private:
    TSessionPool* pool_;
    int slot_;
  };

  // What a request would continue: an open transfer of path in that direction, at offset
  // (-1: at any offset).
  struct TWant {
    std::string path;
    TReFtp::TDirection direction = TReFtp::TDirection::None;
    LONGLONG offset = -1;
  };

  // makeSession builds an unconnected session (settings, profile, hooks). limit >= 1.
  // idleClose: whether idle sessions are closed by a background thread.
  TSessionPool(std::function<std::unique_ptr<TReFtp>()> makeSession, int limit, bool idleClose);
  // Finishes open uploads (never aborted), closes every session. Never raises.
  ~TSessionPool();
  TSessionPool(const TSessionPool&) = delete;
  TSessionPool& operator=(const TSessionPool&) = delete;

  // A connected session for one request: the idle one whose open transfer `want` continues,
  // else one without a transfer, else a new connection (up to the limit), else an idle one
  // whose parked transfer the request will close. Waits while every session is busy (giving up
  // when the caller is interrupted). Raises the connect or login failure when no session can
  // be had at all.
  TLease Acquire(const TWant* want = nullptr);
  // The session whose open transfer is of want.path in want.direction (any offset), waiting
  // while its request runs; nothing when no session holds such a transfer.
  std::optional<TLease> AcquireHolding(const TWant& want);

  // A session for work done ahead of the program (listings it is likely to ask for): an idle
  // one without a parked transfer, or a new connection, and only while another session stays
  // free for the program's own requests. Never waits for a busy session; nothing when none is
  // spare or the connection fails.
  std::optional<TLease> TryAcquireSpare();

  // Sessions connected or connecting, and the current limit.
  int Live() const;
  int Limit() const;
  // Logins made so far by all sessions (first logins and reconnections).
  int Logins() const;

  static constexpr int kIdleCloseMs = 60000;
  // Longest wait for a free session, ms.
  static constexpr int kAcquireWaitMs = 600000;

 private:
  struct TSlot {
    std::unique_ptr<TReFtp> ftp;
    bool busy = false;
    bool connected = false;  // logged in at least once
    // The open transfer the session held when it was last returned: what a busy session may
    // still be holding.
    std::string heldPath;
    TReFtp::TDirection heldDirection = TReFtp::TDirection::None;
    std::chrono::steady_clock::time_point lastUsed;
  };

  // An idle slot for `want` (or -1), preferring a continuation, then no transfer.
  int PickIdle(const TWant* want) REQUIRES(mutex_);
  // An idle slot whose parked transfer may be closed for another request (or -1).
  int PickVictim() REQUIRES(mutex_);
  // A slot for a new connection while the limit allows one (or -1); the slot may be new.
  int PickUnconnected() REQUIRES(mutex_);
  // Connects and logs in the slot marked busy, with the lock released meanwhile. False when a
  // further connection was refused (the limit is lowered, the slot freed); raises when the
  // first one fails or the caller was interrupted. The caller's scoped lock stays valid: the
  // mutex is held again on every return and throw.
  bool ConnectSlot(int slot) REQUIRES(mutex_);
  void Release(int slot);
  void WaitForChange(veldra::TMutexLock& lock) REQUIRES(mutex_);
  void CloseIdleSessions();

  std::function<std::unique_ptr<TReFtp>()> makeSession_;
  mutable veldra::TMutex mutex_;
  veldra::TCondition changed_;     // a session freed, the limit lowered
  veldra::TCondition reaperWake_;  // the pool stops
  std::vector<std::unique_ptr<TSlot>> slots_ GUARDED_BY(mutex_);
  int limit_ GUARDED_BY(mutex_);
  int connecting_ GUARDED_BY(mutex_) = 0;
  int logins_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread reaper_;
};
