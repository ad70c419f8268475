#include "fake_meetpoint.h"

#include <chrono>

FakeMeetpoint::FakeMeetpoint() : listener_(RawSocket::Listen()) {
  port_ = listener_.Port();
  thread_ = std::thread([this] { Run(); });
}

FakeMeetpoint::~FakeMeetpoint() {
  stop_ = true;
  thread_.join();
}

template <typename Pred>
bool FakeMeetpoint::WaitFor(int timeoutMs, Pred pred) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

void FakeMeetpoint::Run() {
  RawSocket game;
  while (!stop_) {
    if (!game.Valid()) {
      RawSocket accepted = listener_.Accept(20);
      if (!accepted.Valid()) continue;
      game = std::move(accepted);
      std::lock_guard<std::mutex> guard(mutex_);
      gameHandle_ = game.Handle();
      closeRequest_ = CloseRequest::kNone;
      pending_.clear();
      raw_.clear();
      ++connections_;
      changed_.notify_all();
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (closeRequest_ != CloseRequest::kNone) {
        if (closeRequest_ == CloseRequest::kAbortive) {
          game.CloseAbortive();
        } else {
          game.Close();
        }
        gameHandle_ = -1;
        closeRequest_ = CloseRequest::kNone;
        changed_.notify_all();
        continue;
      }
    }
    if (!reading_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    bool closed = false;
    Bytes data = game.ReceiveSome(20, &closed);
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed) {
      game.Close();
      gameHandle_ = -1;
      changed_.notify_all();
      continue;
    }
    pending_.insert(pending_.end(), data.begin(), data.end());
    raw_.insert(raw_.end(), data.begin(), data.end());
    while (pending_.size() >= 4 && !framingError_) {
      uint32_t total = pending_[0] | pending_[1] << 8 | pending_[2] << 16 |
                       static_cast<uint32_t>(pending_[3]) << 24;
      if (total < 5 || total > 4096) {
        framingError_ = true;
        break;
      }
      if (pending_.size() < total) break;
      frames_.emplace_back(pending_.begin() + 4, pending_.begin() + total);
      pending_.erase(pending_.begin(), pending_.begin() + total);
    }
    changed_.notify_all();
  }
}

bool FakeMeetpoint::WaitConnected(int connection, int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return connections_ >= connection && gameHandle_ != -1; });
}

bool FakeMeetpoint::WaitFrames(size_t count, int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return frames_.size() >= count; });
}

std::vector<Bytes> FakeMeetpoint::Frames() {
  std::lock_guard<std::mutex> guard(mutex_);
  return frames_;
}

Bytes FakeMeetpoint::RawBytes() {
  std::lock_guard<std::mutex> guard(mutex_);
  return raw_;
}

bool FakeMeetpoint::FramingError() {
  std::lock_guard<std::mutex> guard(mutex_);
  return framingError_;
}

bool FakeMeetpoint::WaitGameClosed(int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return connections_ > 0 && gameHandle_ == -1; });
}

bool FakeMeetpoint::Send(const Bytes& raw) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (gameHandle_ == -1) return false;
  return RawSocket::SendAll(gameHandle_, raw.data(), raw.size());
}

void FakeMeetpoint::CloseGame(bool abortive) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (gameHandle_ == -1) return;
    closeRequest_ = abortive ? CloseRequest::kAbortive : CloseRequest::kGraceful;
  }
  WaitFor(5000, [&] { return closeRequest_ == CloseRequest::kNone; });
}
