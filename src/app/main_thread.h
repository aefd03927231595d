#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

namespace installer::app {

// The thread that owns the window. A run on a worker thread reaches the window only
// through it, so no field of the delegate is ever touched by two threads.
class MainThread {
public:
    virtual ~MainThread() = default;
    // Queues the task behind everything posted before it; callable from any thread.
    // A task still queued when the main thread shuts down may be dropped unrun.
    virtual void post(std::function<void()> task) = 0;
    // Queues the task once `delay` has passed; called on the main thread itself.
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

// Runs `question` on the main thread and waits for its answer. Gives up, without an
// answer, when `stop` is requested first or the question is dropped unrun, so a worker
// never outlives a main thread that will no longer answer. A question whose stop the
// main thread has already seen is dropped there too: the worker is no longer waiting,
// and whatever the question would show or start belongs to a run that is over.
template <class T>
std::optional<T> askMainThread(MainThread& mainThread, std::function<T()> question,
                               std::stop_token stop) {
    struct Answer {
        std::mutex mutex;
        std::condition_variable_any ready;
        std::optional<T> value;
        bool done = false;
    };
    // Whether the task runs or is destroyed unrun, dropping its reply ends the wait.
    struct Reply {
        std::shared_ptr<Answer> answer;
        ~Reply() {
            {
                const std::lock_guard lock(answer->mutex);
                answer->done = true;
            }
            answer->ready.notify_all();
        }
    };
    auto answer = std::make_shared<Answer>();
    std::shared_ptr<Reply> reply(new Reply{answer});
    mainThread.post([reply = std::move(reply), question = std::move(question), stop]() mutable {
        if (stop.stop_requested())
            return;
        T value = question();
        {
            const std::lock_guard lock(reply->answer->mutex);
            reply->answer->value = std::move(value);
        }
        reply.reset();
    });
    std::unique_lock lock(answer->mutex);
    answer->ready.wait(lock, stop, [&] { return answer->done; });
    if (!answer->done)
        return std::nullopt;
    return std::move(answer->value);
}

} // namespace installer::app
