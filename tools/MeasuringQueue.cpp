#include "tools/MeasuringQueue.h"

#include <algorithm>

namespace vxtool {

MeasuringQueue::MeasuringQueue(int threads) : m_threadCount(std::max(1, threads)) {
    for (int i = 0; i < m_threadCount; ++i) m_threads.emplace_back([this] { work(); });
}

MeasuringQueue::~MeasuringQueue() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_workAvailable.notify_all();
    for (std::thread& t : m_threads) t.join();
}

void MeasuringQueue::work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_workAvailable.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        // Jobs already queued are measured even when stopping, so that none is lost.
        if (m_waiting.empty()) return;
        std::shared_ptr<Job> job = m_waiting.front();
        m_waiting.pop_front();
        lock.unlock();
        SoundReport report = job->sound->finish();
        job->sound.reset();  // the sound's bytes go here
        lock.lock();
        job->report = std::move(report);
        job->done = true;
        m_bytesInFlight -= job->bytes;
        --m_inFlight;
        m_jobDone.notify_all();
    }
}

void MeasuringQueue::waitForRoom(int64_t bytes) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_jobDone.wait(lock, [&] {
        return m_inFlight == 0 ||
               (m_inFlight < m_threadCount && m_bytesInFlight + bytes <= kBudget);
    });
}

void MeasuringQueue::submit(std::unique_ptr<PendingSound> sound, int64_t bytes, SoundReport ready) {
    auto job = std::make_shared<Job>();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (sound != nullptr && sound->hasWork()) {
        job->sound = std::move(sound);
        job->bytes = bytes;
        m_bytesInFlight += bytes;
        ++m_inFlight;
        m_waiting.push_back(job);
        m_workAvailable.notify_one();
    } else {
        job->report = sound != nullptr ? sound->finish() : std::move(ready);
        job->done = true;
    }
    m_order.push_back(std::move(job));
}

bool MeasuringQueue::next(SoundReport* report, bool wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_order.empty()) return false;
    if (wait)
        m_jobDone.wait(lock, [this] { return m_order.front()->done; });
    else if (!m_order.front()->done)
        return false;
    *report = std::move(m_order.front()->report);
    m_order.pop_front();
    return true;
}

}  // namespace vxtool
