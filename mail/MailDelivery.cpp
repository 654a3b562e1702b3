#include "mail/MailDelivery.h"

#include <condition_variable>
#include <deque>

#include "log/AppLogger.h"
#include "mail/AlertDispatch.h"
#include "mail/MailAbort.h"

namespace {

// How long shutdown waits for the thread once its mail is cancelled. Only
// a host name look-up, which no socket call can interrupt, keeps it longer;
// the thread is then left to end on its own.
constexpr std::chrono::milliseconds kStopWait{1000};

const char* kindOf(const OutgoingMail& mail) { return mail.alert ? "Alert email" : "Test mail"; }

void finish(OutgoingMail& mail, MailOutcome::Status status, const char* why) {
    auto& log = AppLogger::Instance().get();
    MailOutcome outcome;
    outcome.status = status;
    outcome.errorText = why;
    if (mail.alert) {
        log.error("Alert email {}: {}", why, mail.body);
    } else {
        log.error("{} {}", kindOf(mail), why);
    }
    if (mail.done) mail.done(outcome);
}

// Whether two mails go the same way: the same server, account, sender and
// recipients.
bool sameWay(const OutgoingMail& a, const OutgoingMail& b) {
    return a.server == b.server && a.port == b.port && a.user == b.user && a.password == b.password &&
           a.security == b.security && a.tlsVerify == b.tlsVerify && a.from == b.from && a.recipients == b.recipients &&
           a.attachment.empty() && b.attachment.empty();
}

// `later` joined to the end of `mail`: its text and lines after the lines
// of `mail`, its outcome reported to its own callback as well.
void join(OutgoingMail& mail, OutgoingMail later) {
    mail.moreLines = [first = std::move(mail.moreLines), body = std::move(later.body),
                      second = std::move(later.moreLines)] {
        std::vector<std::string> lines;
        if (first) lines = first();
        lines.emplace_back();
        lines.push_back(body);
        if (second) {
            std::vector<std::string> more = second();
            lines.insert(lines.end(), more.begin(), more.end());
        }
        return lines;
    };
    if (later.done) {
        mail.done = [first = std::move(mail.done), second = std::move(later.done)](const MailOutcome& outcome) {
            if (first) first(outcome);
            second(outcome);
        };
    }
}

}  // namespace

// Everything the thread uses lives here, shared with the thread, so that a
// thread left behind at shutdown never uses a destroyed object.
struct MailDelivery::State {
    explicit State(std::size_t capacity) : capacity(capacity) {}

    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable wake;  // a mail arrived, or stop
    std::condition_variable idle;  // a mail ended, or the thread did
    std::deque<OutgoingMail> queue;
    bool inFlight = false;
    bool started = false;  // the thread was started
    bool stop = false;
    bool running = false;
    std::shared_ptr<MailAbort> current;
    Counts counts;
};

MailDelivery::MailDelivery(std::size_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity), state_(std::make_shared<State>(capacity_)) {}

MailDelivery::~MailDelivery() { shutdown(std::chrono::milliseconds(0)); }

void MailDelivery::run(std::shared_ptr<State> state) {
    for (;;) {
        OutgoingMail mail;
        std::shared_ptr<MailAbort> abort;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stop || !state->queue.empty(); });
            if (state->queue.empty()) {
                state->running = false;
                state->idle.notify_all();
                return;
            }
            mail = std::move(state->queue.front());
            state->queue.pop_front();
            state->inFlight = true;
            state->current = abort = std::make_shared<MailAbort>();
        }

        const MailOutcome outcome = DeliverMail(mail, abort);
        auto& log = AppLogger::Instance().get();
        for (const auto& warning : outcome.warnings) log.warn("{}: {}", kindOf(mail), warning);
        if (mail.alert && !outcome.sent()) log.error("Sending alert email error: {}", outcome.errorText);
        if (mail.done) mail.done(outcome);

        std::lock_guard lock(state->mutex);
        state->inFlight = false;
        state->current.reset();
        ++(outcome.sent() ? state->counts.sent : state->counts.failed);
        state->idle.notify_all();
    }
}

void MailDelivery::enqueue(OutgoingMail mail) {
    bool tooLate = false;
    {
        std::lock_guard control(control_);
        std::lock_guard lock(state_->mutex);
        ++state_->counts.queued;
        if (state_->stop) {
            // Between the end of a shutdown's grace and its return.
            tooLate = true;
            ++state_->counts.notSent;
        } else {
            if (!state_->started) {
                state_->started = state_->running = true;
                thread_ = std::thread(run, state_);
            }
            // A full queue joins an alert to the last alert mail waiting for
            // the same recipients rather than dropping anything.
            auto joinable = state_->queue.end();
            if (state_->queue.size() >= state_->capacity && mail.alert) {
                for (auto it = state_->queue.end(); it != state_->queue.begin();) {
                    --it;
                    if (it->alert && sameWay(*it, mail)) {
                        joinable = it;
                        break;
                    }
                }
            }
            if (joinable != state_->queue.end()) {
                join(*joinable, std::move(mail));
                ++state_->counts.joined;
            } else {
                state_->queue.push_back(std::move(mail));
                state_->wake.notify_one();
            }
        }
    }
    if (tooLate) finish(mail, MailOutcome::Status::NotSent, "not sent before exit");
}

void MailDelivery::shutdown(std::chrono::milliseconds grace) {
    std::lock_guard serial(shutdown_);
    std::shared_ptr<State> state;
    {
        std::lock_guard control(control_);
        state = state_;
    }

    // Mails may still be queued during the grace; they count as waiting.
    std::deque<OutgoingMail> left;
    std::unique_lock lock(state->mutex);
    if (!state->started) return;
    state->idle.wait_for(lock, grace, [&] { return state->queue.empty() && !state->inFlight; });
    left.swap(state->queue);
    state->counts.notSent += left.size();
    state->stop = true;
    if (state->current) state->current->abort();
    state->wake.notify_all();
    lock.unlock();

    for (auto& mail : left) finish(mail, MailOutcome::Status::NotSent, "not sent before exit");

    lock.lock();
    const bool ended = state->idle.wait_for(lock, kStopWait, [&] { return !state->running; });
    // A fresh start for mails queued later; the counts go on.
    auto fresh = std::make_shared<State>(capacity_);
    fresh->counts = state->counts;
    lock.unlock();

    std::lock_guard control(control_);
    if (ended) {
        thread_.join();
    } else {
        AppLogger::Instance().get().warn("Mail delivery did not stop in time and is left to end on its own");
        thread_.detach();
    }
    state_ = std::move(fresh);
}

bool MailDelivery::waitIdle(std::chrono::milliseconds limit) {
    std::shared_ptr<State> state;
    {
        std::lock_guard control(control_);
        state = state_;
    }
    std::unique_lock lock(state->mutex);
    return state->idle.wait_for(lock, limit, [&] { return state->queue.empty() && !state->inFlight; });
}

MailDelivery::Counts MailDelivery::counts() const {
    std::lock_guard control(control_);
    std::lock_guard lock(state_->mutex);
    Counts counts = state_->counts;
    counts.waiting = state_->queue.size();
    counts.inFlight = state_->inFlight;
    return counts;
}
