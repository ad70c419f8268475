#include "fake_meetpoint.h"

#include <algorithm>
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
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (closeRequest_ != CloseRequest::kNone) {
        if (closeRequest_ == CloseRequest::kRestart) {
          listener_ = RawSocket::Listen(port_);
        } else if (closeRequest_ == CloseRequest::kHalfClose) {
          if (game.Valid()) game.ShutdownSending();
        } else if (game.Valid()) {
          if (closeRequest_ == CloseRequest::kGraceful) {
            game.Close();
          } else {
            game.CloseAbortive();
          }
          gameHandle_ = -1;
        }
        if (closeRequest_ == CloseRequest::kKill) listener_.Close();
        closeRequest_ = CloseRequest::kNone;
        changed_.notify_all();
        continue;
      }
    }
    if (!game.Valid()) {
      if (!listener_.Valid()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      RawSocket accepted = listener_.Accept(20);
      if (!accepted.Valid()) continue;
      game = std::move(accepted);
      std::lock_guard<std::mutex> guard(mutex_);
      gameHandle_ = game.Handle();
      splitter_ = mp::FrameSplitter();
      raw_.clear();
      ++connections_;
      changed_.notify_all();
      continue;
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
    raw_.insert(raw_.end(), data.begin(), data.end());
    std::vector<Bytes> frames;
    if (!splitter_.Feed(data.data(), data.size(), &frames)) framingError_ = true;
    for (const Bytes& frame : frames) frames_.emplace_back(frame.begin() + 4, frame.end());
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

bool FakeMeetpoint::SendInPieces(const Bytes& raw, size_t pieceSize, int pauseMs) {
  for (size_t at = 0; at < raw.size(); at += pieceSize) {
    size_t n = std::min(pieceSize, raw.size() - at);
    if (!Send(Bytes(raw.begin() + static_cast<std::ptrdiff_t>(at),
                    raw.begin() + static_cast<std::ptrdiff_t>(at + n)))) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return true;
}

// Hands a request to the reader thread, which owns the sockets, and waits until it is done.
void FakeMeetpoint::Request(CloseRequest request) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    closeRequest_ = request;
  }
  WaitFor(5000, [&] { return closeRequest_ == CloseRequest::kNone; });
}

void FakeMeetpoint::CloseGame(bool abortive) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (gameHandle_ == -1) return;
  }
  Request(abortive ? CloseRequest::kAbortive : CloseRequest::kGraceful);
}

void FakeMeetpoint::Kill() { Request(CloseRequest::kKill); }

bool FakeMeetpoint::Restart() {
  Request(CloseRequest::kRestart);
  std::lock_guard<std::mutex> guard(mutex_);
  return listener_.Valid();
}
