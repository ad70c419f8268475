#include "store_queue.h"

namespace lobby {

// What the loop keeps of a request: its answer and the deadline's timer.
struct StoreQueue::Reply {
  explicit Reply(asio::io_context& io, Done d) : done(std::move(d)), timer(io) {}
  Done done;
  asio::steady_timer timer;
  bool answered = false;
};

struct StoreQueue::Job {
  Work work;
  std::chrono::steady_clock::time_point deadline;
  std::shared_ptr<Reply> reply;  // only touched on the loop
};

StoreQueue::StoreQueue(asio::io_context& io, Store& store, size_t capacity,
                       std::chrono::milliseconds deadline)
    : io_(io), store_(store), capacity_(capacity), deadline_(deadline) {
  thread_ = std::thread([this] { Serve(); });
}

StoreQueue::~StoreQueue() { Stop(); }

void StoreQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  jobs_.clear();
}

void StoreQueue::Answer(Reply& reply, bool ok, const std::string& error) {
  if (reply.answered) return;
  reply.answered = true;
  reply.timer.cancel();
  reply.done(ok, error);
}

void StoreQueue::Run(Work work, Done done) {
  auto reply = std::make_shared<Reply>(io_, std::move(done));
  size_t waiting = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting = jobs_.size();
    if (waiting < capacity_) {
      jobs_.push_back({std::move(work), std::chrono::steady_clock::now() + deadline_, reply});
    }
  }
  if (waiting >= capacity_) {
    ++stats_.full;
    asio::post(io_, [reply, waiting] {
      Answer(*reply, false, "the store is behind: " + std::to_string(waiting) + " requests wait");
    });
    return;
  }
  wake_.notify_one();
  reply->timer.expires_after(deadline_);
  reply->timer.async_wait([reply, this](ErrorCode ec) {
    if (ec || reply->answered) return;
    ++stats_.late;
    Answer(*reply, false,
           "no answer from the store within " + std::to_string(deadline_.count()) + " ms");
  });
}

void StoreQueue::Serve() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    // A request whose deadline has passed has had its answer: its work would only be late.
    bool ok = false;
    std::string error;
    auto start = std::chrono::steady_clock::now();
    bool ran = start < job.deadline;
    if (ran) ok = job.work(store_, &error);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // The job goes back whole, so that whatever it holds is let go on the loop.
    auto back = std::make_shared<Job>(std::move(job));
    asio::post(io_, [this, back = std::move(back), ok, error, ran, took] {
      if (ran) stats_.callTime.Observe(took.count());
      if (ran && !ok) ++stats_.failed;
      Answer(*back->reply, ok, error);
    });
  }
}

}  // namespace lobby
