// Worker threads that make hits while the main thread keeps the database:
// the main thread hands jobs in with SubmitHit and takes them back, in the
// order they finish, with AwaitFinishedHits. One mutex guards both queues;
// a job belongs to the worker that runs it from the moment the worker takes
// it until it is queued as finished, and to the main thread otherwise. The
// workers block every signal, so SIGALRM keeps reaching the main thread's
// sleep, and run as batch threads (SCHED_BATCH), so that a worker woken by
// its reply does not preempt the main thread. All calls are made from the
// one thread that started the pool.
#ifndef JANTOR_ENGINE_FLOW_HIT_POOL_H_
#define JANTOR_ENGINE_FLOW_HIT_POOL_H_

#include <vector>

struct HitPool;

// Runs on a worker for each job; job is whatever was submitted.
using HitWork = void (*)(void* job, void* context);

// Starts up to workers threads (each with a small stack) that run work on
// the jobs submitted. Returns the pool, or null when no thread could be
// made; *started gets the number of threads running.
HitPool* StartHitPool(int workers, HitWork work, void* context, int* started);

// Queues job for the next free worker.
void SubmitHit(HitPool* pool, void* job);

// Waits until a submitted job has finished, then appends every finished
// job to *jobs, in the order they finished.
// REQUIRES: a submitted job has not yet been taken back.
void AwaitFinishedHits(HitPool* pool, std::vector<void*>* jobs);

// Appends every finished job to *jobs, in the order they finished, without
// waiting for one.
void TakeFinishedHits(HitPool* pool, std::vector<void*>* jobs);

// Lets the workers finish the jobs in hand, joins them and frees the pool.
// Null does nothing.
void StopHitPool(HitPool* pool);

#endif  // JANTOR_ENGINE_FLOW_HIT_POOL_H_
