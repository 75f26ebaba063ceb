#include "engine/hit_pool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

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

struct HitPool {
  HitWork work;
  void* context;
  std::mutex mutex;
  std::condition_variable job_waiting;   // a worker may take a job, or stop
  std::condition_variable job_finished;  // the main thread may take one back
  std::deque<void*> waiting;             // GUARDED_BY(mutex)
  std::deque<void*> finished;            // GUARDED_BY(mutex)
  bool stopping = false;                 // GUARDED_BY(mutex)
  std::vector<pthread_t> threads;        // the main thread's own
};

namespace {

void* RunWorker(void* argument) {
  auto* pool = static_cast<HitPool*>(argument);
  for (;;) {
    void* job;
    {
      std::unique_lock<std::mutex> lock(pool->mutex);
      pool->job_waiting.wait(lock, [pool] { return pool->stopping || !pool->waiting.empty(); });
      if (pool->waiting.empty()) return nullptr;
      job = pool->waiting.front();
      pool->waiting.pop_front();
    }
    pool->work(job, pool->context);
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      pool->finished.push_back(job);
    }
    pool->job_finished.notify_one();
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
  // A thread inherits the mask of its maker: block everything while making
  // them, so that no signal is ever delivered to a worker.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  for (int i = 0; i < workers; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, &attributes, RunWorker, pool) != 0) break;
    pool->threads.push_back(thread);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  *started = static_cast<int>(pool->threads.size());
  if (pool->threads.empty()) {
    delete pool;
    return nullptr;
  }
  return pool;
}

void SubmitHit(HitPool* pool, void* job) {
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->waiting.push_back(job);
  }
  pool->job_waiting.notify_one();
}

void AwaitFinishedHits(HitPool* pool, std::vector<void*>* jobs) {
  std::unique_lock<std::mutex> lock(pool->mutex);
  pool->job_finished.wait(lock, [pool] { return !pool->finished.empty(); });
  jobs->insert(jobs->end(), pool->finished.begin(), pool->finished.end());
  pool->finished.clear();
}

void StopHitPool(HitPool* pool) {
  if (pool == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->stopping = true;
  }
  pool->job_waiting.notify_all();
  for (pthread_t thread : pool->threads) pthread_join(thread, nullptr);
  delete pool;
}
