#include "engine/flow/hit_pool.h"

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>
#include <vector>

#include "base/ll_cpapi.h"

namespace {

// A hit needs little stack: the deepest path is the resolver's and the TLS
// handshake's, well under this. The default of 8 MiB a thread would not cost
// resident memory, but would take address space in 1024 threads.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kWorkerStackBytes = 4 * 1024 * 1024;  // the sanitizers' frames are larger
#else
constexpr size_t kWorkerStackBytes = 512 * 1024;
#endif

}  // namespace

// A thread asleep until another wakes it. A semaphore rather than a
// condition: a condition's waiter takes the lock again on waking and gives
// it back with a call into the system, which would cost every hand-off one
// more call. Whoever puts a thread to sleep says so under the pool's lock,
// and the one who takes that note off wakes it exactly once.
struct Sleeper {
  sem_t sem;
  Sleeper() { sem_init(&sem, 0, 0); }
  ~Sleeper() { sem_destroy(&sem); }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;
  void Sleep() {
    while (sem_wait(&sem) != 0 && errno == EINTR) {
    }
  }
  void Wake() { sem_post(&sem); }
};

// Each idle worker is handed its next job directly: a hand-off wakes
// exactly the one thread that runs the job, and no woken worker races the
// others for the lock. A job submitted while every worker is busy waits in
// the queue for the first one free.
struct HitWorker {
  Sleeper sleeper;
  void* job = nullptr;  // handed over; none after a wake-up means "stop"
};

struct HitPool {
  HitWork work;
  void* context;
  std::mutex mutex;
  std::deque<void*> waiting;       // GUARDED_BY(mutex)
  std::vector<HitWorker*> idle;    // GUARDED_BY(mutex): asleep, waiting for a job
  std::deque<void*> finished;      // GUARDED_BY(mutex)
  bool main_asleep = false;        // GUARDED_BY(mutex)
  bool stopping = false;           // GUARDED_BY(mutex)
  Sleeper main_sleeper;            // for AwaitFinishedHits
  std::deque<HitWorker> workers;   // one for each thread; never moved
  std::vector<pthread_t> threads;  // the main thread's own
};

namespace {

void* RunWorker(void* argument) {
  auto* pool = static_cast<HitPool*>(argument);
  // A worker mostly waits for the network, and when its reply comes it must
  // not take the processor from the main thread in the middle of a commit:
  // every other worker whose hit has ended waits for that commit before its
  // next hit. Batch threads do not preempt on waking, and keep their full
  // share of the processor. Without it a cycle of -c 8 against a local
  // server made about 8% fewer hits a second. Where the policy is refused,
  // the worker runs as it is.
  sched_param batch{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
  HitWorker* self = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    self = &pool->workers.emplace_back();
  }
  for (;;) {
    void* job = nullptr;
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      if (!pool->waiting.empty()) {
        job = pool->waiting.front();
        pool->waiting.pop_front();
      } else if (pool->stopping) {
        return nullptr;
      } else {
        pool->idle.push_back(self);
      }
    }
    if (job == nullptr) {
      self->sleeper.Sleep();
      job = self->job;  // written before the wake-up
      self->job = nullptr;
      if (job == nullptr) return nullptr;
    }
    pool->work(job, pool->context);
    bool wake_main;
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      pool->finished.push_back(job);
      wake_main = pool->main_asleep;
      pool->main_asleep = false;
    }
    if (wake_main) pool->main_sleeper.Wake();
  }
}

}  // namespace

HitPool* StartHitPool(int workers, HitWork work, void* context, int* started) {
  auto* pool = new HitPool;
  pool->work = work;
  pool->context = context;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, std::max<size_t>(kWorkerStackBytes, PTHREAD_STACK_MIN));
  for (int i = 0; i < workers; ++i) {
    pthread_t thread;
    if (StartSignalFreeThread(&thread, &attributes, RunWorker, pool) != 0) break;
    pool->threads.push_back(thread);
  }
  pthread_attr_destroy(&attributes);
  *started = static_cast<int>(pool->threads.size());
  if (pool->threads.empty()) {
    delete pool;
    return nullptr;
  }
  return pool;
}

void SubmitHit(HitPool* pool, void* job) {
  HitWorker* worker = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (pool->idle.empty()) {
      pool->waiting.push_back(job);
      return;
    }
    worker = pool->idle.back();
    pool->idle.pop_back();
    worker->job = job;
  }
  worker->sleeper.Wake();
}

void AwaitFinishedHits(HitPool* pool, std::vector<void*>* jobs) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      if (!pool->finished.empty()) {
        jobs->insert(jobs->end(), pool->finished.begin(), pool->finished.end());
        pool->finished.clear();
        return;
      }
      pool->main_asleep = true;
    }
    pool->main_sleeper.Sleep();
  }
}

void TakeFinishedHits(HitPool* pool, std::vector<void*>* jobs) {
  std::lock_guard<std::mutex> lock(pool->mutex);
  jobs->insert(jobs->end(), pool->finished.begin(), pool->finished.end());
  pool->finished.clear();
}

void StopHitPool(HitPool* pool) {
  if (pool == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->stopping = true;
    for (HitWorker* worker : pool->idle) worker->sleeper.Wake();
    pool->idle.clear();
  }
  for (pthread_t thread : pool->threads) pthread_join(thread, nullptr);
  delete pool;
}
