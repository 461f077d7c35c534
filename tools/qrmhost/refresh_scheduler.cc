#include "tools/qrmhost/refresh_scheduler.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <queue>
#include <utility>
#include <system_error>
#include <thread>

namespace {

using Clock = StopSignal::Clock;

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Waits until `until` or the stop; true when the stop was raised. The stop's descriptor is
// readable exactly while it is raised; without one, its condition is polled.
bool SleepUntil(StopSignal* stop, Clock::time_point until) {
  while (!stop->raised()) {
    const Clock::time_point now = Clock::now();
    if (now >= until) return false;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    const int wait = static_cast<int>(std::min<long long>(ms, 60 * 1000));
    if (stop->fd() < 0) {
      stop->WaitFor(std::chrono::milliseconds(wait));
      continue;
    }
    pollfd p = {stop->fd(), POLLIN, 0};
    poll(&p, 1, wait);
  }
  return true;
}

}  // namespace

struct RefreshScheduler::Driven {
  Device device;
  bool walks_on_refresh = false;  // host-driven, or own-thread without its sampling thread
  bool on_scheduler = false;      // refreshed by the scheduler thread from the start
  unsigned refreshes = 0;         // by the calling thread that walks it
  std::atomic<bool> finished{false};
  std::atomic<bool> walking{false};  // inside a RefreshStatus that walks
};

RefreshScheduler::RefreshScheduler(std::vector<Device> devices, double interval, unsigned rounds,
                                   StopSignal* stop, RoundSummary* summary, ConsoleWatch* watch,
                                   std::function<void(const std::string&)> error)
    : interval_(interval),
      rounds_(rounds),
      stop_(stop),
      summary_(summary),
      watch_(watch),
      error_(std::move(error)) {
  for (const Device& device : devices) {
    devices_.push_back(std::make_unique<Driven>());
    devices_.back()->device = device;
    devices_.back()->walks_on_refresh = !device.own_thread;
  }
}

RefreshScheduler::~RefreshScheduler() { Join(); }

bool RefreshScheduler::Start(std::string* error) {
  for (const std::unique_ptr<Driven>& d : devices_) {
    d->on_scheduler = d->device.own_thread || !StartHostThread(d.get());
  }
  try {
    scheduler_ = std::make_unique<StackThread>(kHostThreadStackBytes, [this] { RunScheduler(); });
  } catch (const std::system_error& e) {
    *error = std::string("cannot start the scheduler thread: ") + e.code().message();
    return false;
  }
  return true;
}

bool RefreshScheduler::StartHostThread(Driven* d) {
  try {
    auto thread =
        std::make_unique<StackThread>(kHostThreadStackBytes, [this, d] { RunHostThread(d); });
    std::lock_guard<std::mutex> lock(threads_mutex_);
    host_threads_.push_back(std::move(thread));
    return true;
  } catch (const std::system_error& e) {
    error_("device " + std::to_string(d->device.id) + ": no host thread of its own (" +
           e.code().message() + "); the scheduler thread refreshes it");
    return false;
  }
}

void RefreshScheduler::Join() {
  if (stop_->raised()) ReportWalksUnderWay();
  if (scheduler_) scheduler_->join();  // first: it may add host threads
  std::lock_guard<std::mutex> lock(threads_mutex_);
  for (const std::unique_ptr<StackThread>& t : host_threads_) t->join();
}

std::vector<uint32_t> RefreshScheduler::WalksUnderWay() const {
  std::vector<uint32_t> ids;
  for (const std::unique_ptr<Driven>& d : devices_) {
    if (d->walking.load()) ids.push_back(d->device.id);
  }
  return ids;
}

bool RefreshScheduler::WaitForWalks(Clock::time_point until) const {
  for (;;) {
    if (WalksUnderWay().empty()) return true;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void RefreshScheduler::ReportWalksUnderWay() {
  constexpr size_t kNamed = 8;
  const std::vector<uint32_t> ids = WalksUnderWay();
  if (ids.empty()) return;
  std::string names;
  for (size_t i = 0; i < ids.size() && i < kNamed; ++i) {
    names += (i == 0 ? "" : ", ") + std::to_string(ids[i]);
  }
  if (ids.size() > kNamed) names += " and " + std::to_string(ids.size() - kNamed) + " more";
  error_(std::string("stopping: waiting for the ") +
         (ids.size() == 1 ? "walk under way on device " : "walks under way on devices ") + names +
         " to end (a refresh is never cut short); interrupt again to exit at once");
}

bool RefreshScheduler::DeviceDone(const Driven& d) const {
  if (rounds_ == 0) return false;
  if (!d.device.own_thread) return d.refreshes >= rounds_ || d.finished.load();
  return summary_->Completed(d.device.id) >= rounds_;
}

bool RefreshScheduler::Done() const {
  if (rounds_ == 0) return false;
  for (const std::unique_ptr<Driven>& d : devices_) {
    const bool done =
        d->device.own_thread ? summary_->Completed(d->device.id) >= rounds_ : d->finished.load();
    if (!done) return false;
  }
  return true;
}

void RefreshScheduler::Refresh(Driven* d) {
  const uint32_t id = d->device.id;
  const unsigned published = summary_->Published(id);
  const unsigned walks = summary_->Walks(id);
  // Marked before the stop is looked at: whoever raises the stop and then finds no walk under
  // way knows that none will begin.
  d->walking = d->walks_on_refresh;
  if (stop_->raised()) {
    d->walking = false;
    return;
  }
  try {
    d->device.device->RefreshStatus();
  } catch (const std::exception& e) {
    error_("device " + std::to_string(id) + ": RefreshStatus threw: " + e.what());
  }
  d->walking = false;
  ++d->refreshes;
  if (d->walks_on_refresh && summary_->Published(id) == published) {
    summary_->RefreshWithoutRound(id, walks, stop_->raised());
  }
}

// The host thread of one device: a refresh every `interval`, starting at once, until the stop
// or the device is done.
void RefreshScheduler::RunHostThread(Driven* d) {
  summary_->BindThread(d->device.id);
  Clock::time_point next = Clock::now();
  for (bool first = true; !stop_->raised() && !DeviceDone(*d); first = false) {
    if (!first) {
      next = std::max(next + Seconds(interval_), Clock::now());
      if (SleepUntil(stop_, next)) break;
    }
    Refresh(d);
  }
  if (!d->device.own_thread) d->finished = true;
  stop_->Notify();
}

// The scheduler thread: refreshes the own-thread devices, and any device left to it, each in
// its turn, the one due first first.
void RefreshScheduler::RunScheduler() {
  const Clock::duration own_period =
      std::max(Seconds(interval_), Clock::duration(std::chrono::seconds(kOwnThreadRefreshSeconds)));
  using Due = std::pair<Clock::time_point, Driven*>;
  auto later = [](const Due& a, const Due& b) { return a.first > b.first; };
  std::priority_queue<Due, std::vector<Due>, decltype(later)> queue(later);
  for (const std::unique_ptr<Driven>& d : devices_) {
    if (d->on_scheduler) queue.emplace(Clock::now(), d.get());
  }
  while (!stop_->raised() && !queue.empty()) {
    const auto [next, d] = queue.top();
    if (SleepUntil(stop_, next)) break;
    queue.pop();
    if (!DeviceDone(*d)) {
      summary_->BindThread(d->device.id);
      const unsigned long begun = watch_ != nullptr ? watch_->WalksBegunHere() : 0;
      Refresh(d);
      if (!d->walks_on_refresh && watch_ != nullptr && watch_->WalksBegunHere() != begun) {
        // Its sampling thread did not start: it walks on refreshes, on a host thread of its
        // own if one can be had.
        d->walks_on_refresh = true;
        if (StartHostThread(d)) continue;
      }
    }
    if (DeviceDone(*d)) {
      if (!d->device.own_thread) d->finished = true;
      stop_->Notify();
      continue;
    }
    const Clock::duration period = d->walks_on_refresh ? Seconds(interval_) : own_period;
    queue.emplace(std::max(next + period, Clock::now()), d);
  }
  stop_->Notify();
}
