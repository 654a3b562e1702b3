#include "platform/NetworkProber.h"
#include "platform/linux/LinuxCurl.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {

namespace {

// Long enough that an idle prober costs nothing; a new look wakes it.
constexpr int kIdlePollMs = 60000;
// A kept handle nobody used this long belongs to a server that went.
constexpr auto kHandleKept = std::chrono::minutes(10);
constexpr auto kPruneEvery = std::chrono::minutes(1);
// Open connections kept between looks: far more than a list of servers has.
constexpr long kMaxKeptConnections = 1024;

std::string urlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

ProbeEnd endOf(CURLcode code) {
    if (code == CURLE_OK) return ProbeEnd::Answered;
    return code == CURLE_OPERATION_TIMEDOUT ? ProbeEnd::TimedOut : ProbeEnd::Failed;
}

// Closes a look's connection. One the server has closed already (it
// answered with "Connection: close" and sent its end) is ended with a reset
// rather than an end of our own: nothing is left to say on it, the reset
// costs both ends less than the exchange of ends, and the server is not
// left holding the closed connection in TIME_WAIT for a minute per look (a
// hundred looks a second would keep thousands). A connection the server
// still holds open ends as usual, so it sees an orderly close.
int closeConnection(void*, curl_socket_t fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_CLOSE_WAIT) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    return ::close(fd);
}

// One look under way.
struct Flight {
    std::uint64_t ticket = 0;
    CURL* easy = nullptr;
    std::string url;  // the kept handle's key; empty for a connect
    std::size_t maxBody = 0;
    ProbeAnswer answer;
};

std::size_t keepBody(char* bytes, std::size_t size, std::size_t count, void* user) {
    Flight& flight = *static_cast<Flight*>(user);
    const std::size_t n = size * count;
    std::string& body = flight.answer.body;
    if (body.size() < flight.maxBody) body.append(bytes, std::min(n, flight.maxBody - body.size()));
    return n;
}

// One thread drives every look through one multi handle. Its connection
// cache is what makes looks cheap: an HTTP look reuses the connection the
// last look to the same server left open (HTTP/1.1 keep-alive), so a check
// costs a request and an answer, not a connect, a request, an answer and a
// close. A connection the server has closed meanwhile is found dead before
// it is used, or when a request on it gets no byte back, and the look is
// made again on a new connection within the same limit; it does not count
// as a failure. A look that runs out of its limit ends as timed out and
// its connection is closed, so an answer that comes late is never taken
// for the next look's.
class LinuxNetworkProber final : public NetworkProber {
public:
    explicit LinuxNetworkProber(Done done) : done_(std::move(done)) {
        std::string error;
        curl_ = LinuxCurl::get(error);
        // Without the library every look fails at once, as without a multi
        // handle; the checks then say they could not connect.
        if (curl_) multi_ = curl_->multiInit();
        if (multi_) curl_->multiSetopt(multi_, CURLMOPT_MAXCONNECTS, kMaxKeptConnections);
        thread_ = std::thread([this] { run(); });
    }

    ~LinuxNetworkProber() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        poke();
        thread_.join();
        for (auto& [ticket, flight] : flights_) {
            curl_->multiRemoveHandle(multi_, flight->easy);
            curl_->easyCleanup(flight->easy);
        }
        for (auto& [url, kept] : kept_) curl_->easyCleanup(kept.easy);
        if (multi_) curl_->multiCleanup(multi_);
    }

    void start(Requests requests) override {
        underWay_ += requests.size();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& request : requests) starts_.push_back(std::move(request));
        }
        poke();
    }

    void cancel(std::uint64_t ticket) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancels_.push_back(ticket);
        }
        poke();
    }

    std::size_t underWay() const override { return underWay_.load(); }

private:
    // Gets the prober's thread out of its wait.
    void poke() {
        if (multi_)
            curl_->multiWakeup(multi_);
        else
            posted_.notify_one();
    }

    struct Kept {
        CURL* easy = nullptr;
        std::chrono::steady_clock::time_point used;
    };

    // A handle for `url`, set up once: only the limit changes from look to
    // look, so the URL is not built and the options are not set anew each
    // time.
    CURL* handleFor(const std::string& url) {
        if (!curl_) return nullptr;
        if (const auto kept = kept_.find(url); kept != kept_.end()) {
            CURL* easy = kept->second.easy;
            kept_.erase(kept);
            return easy;
        }
        CURL* easy = curl_->easyInit();
        if (!easy) return nullptr;
        curl_->easySetopt(easy, CURLOPT_URL, url.c_str());
        // No signals (a resolver time-out would raise one on a thread that
        // is not the main one); the server is reached directly, never
        // through a proxy from the environment; no redirect is followed.
        curl_->easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_->easySetopt(easy, CURLOPT_PROXY, "");
        curl_->easySetopt(easy, CURLOPT_NOPROXY, "*");
        curl_->easySetopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_->easySetopt(easy, CURLOPT_USERAGENT, "procward-health");
        curl_->easySetopt(easy, CURLOPT_WRITEFUNCTION, keepBody);
        curl_->easySetopt(easy, CURLOPT_CLOSESOCKETFUNCTION, closeConnection);
        return easy;
    }

    void begin(std::uint64_t ticket, const ProbeRequest& request) {
        auto flight = std::make_unique<Flight>();
        flight->ticket = ticket;
        flight->maxBody = request.maxBody;
        const std::string base = "http://" + urlHost(request.host) + ":" + std::to_string(request.port);
        if (request.http) {
            flight->url = base + request.path;
            flight->easy = handleFor(flight->url);
        } else {
            // A connect of its own, closed with its handle: a connection
            // left open by an HTTP look proves nothing about the listener.
            flight->easy = curl_ ? curl_->easyInit() : nullptr;
            if (flight->easy) {
                const std::string url = base + "/";
                curl_->easySetopt(flight->easy, CURLOPT_URL, url.c_str());
                curl_->easySetopt(flight->easy, CURLOPT_CONNECT_ONLY, 1L);
                curl_->easySetopt(flight->easy, CURLOPT_NOSIGNAL, 1L);
                curl_->easySetopt(flight->easy, CURLOPT_PROXY, "");
                curl_->easySetopt(flight->easy, CURLOPT_NOPROXY, "*");
            }
        }
        if (!flight->easy || !multi_) {
            flight->answer.error = "cannot make a connection";
            if (flight->easy) curl_->easyCleanup(flight->easy);
            answers_.emplace_back(ticket, std::move(flight->answer));
            --underWay_;
            return;
        }
        const long ms = static_cast<long>(std::max<long long>(request.limit.count(), 1));
        curl_->easySetopt(flight->easy, CURLOPT_TIMEOUT_MS, ms);
        curl_->easySetopt(flight->easy, CURLOPT_CONNECTTIMEOUT_MS, ms);
        curl_->easySetopt(flight->easy, CURLOPT_PRIVATE, flight.get());
        if (request.http) curl_->easySetopt(flight->easy, CURLOPT_WRITEDATA, flight.get());
        curl_->multiAddHandle(multi_, flight->easy);
        flights_[ticket] = std::move(flight);
    }

    // Gives the handle back for the next look at the same URL.
    void keep(Flight& flight) {
        if (flight.url.empty() || kept_.count(flight.url)) {
            curl_->easyCleanup(flight.easy);
            return;
        }
        kept_[flight.url] = Kept{flight.easy, std::chrono::steady_clock::now()};
    }

    void abandon(std::uint64_t ticket) {
        const auto found = flights_.find(ticket);
        if (found == flights_.end()) return;
        // Removed before its end, the transfer's connection is closed.
        curl_->multiRemoveHandle(multi_, found->second->easy);
        curl_->easyCleanup(found->second->easy);
        flights_.erase(found);
        --underWay_;
    }

    void finished() {
        int left = 0;
        while (CURLMsg* message = curl_->multiInfoRead(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            Flight* flight = nullptr;
            curl_->easyGetinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&flight));
            if (!flight) continue;
            const CURLcode code = message->data.result;
            flight->answer.end = endOf(code);
            if (code != CURLE_OK) {
                flight->answer.error = curl_->easyStrerror(code);
            } else if (!flight->url.empty()) {
                long status = 0;
                curl_->easyGetinfo(flight->easy, CURLINFO_RESPONSE_CODE, &status);
                flight->answer.status = static_cast<int>(status);
            }
            curl_->multiRemoveHandle(multi_, flight->easy);
            answers_.emplace_back(flight->ticket, std::move(flight->answer));
            // A look that failed leaves no handle whose state could matter
            // to the next one.
            if (code == CURLE_OK)
                keep(*flight);
            else
                curl_->easyCleanup(flight->easy);
            flights_.erase(flight->ticket);
            --underWay_;
        }
    }

    void prune() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastPrune_ < kPruneEvery) return;
        lastPrune_ = now;
        for (auto it = kept_.begin(); it != kept_.end();) {
            if (now - it->second.used > kHandleKept) {
                curl_->easyCleanup(it->second.easy);
                it = kept_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void run() {
        std::vector<std::pair<std::uint64_t, ProbeRequest>> starts;
        std::vector<std::uint64_t> cancels;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (ending_) return;
                starts.swap(starts_);
                cancels.swap(cancels_);
            }
            for (const auto& [ticket, request] : starts) begin(ticket, request);
            for (const std::uint64_t ticket : cancels) {
                // A look cancelled before it began is taken out of what came.
                const auto same = [ticket](const auto& answer) { return answer.first == ticket; };
                answers_.erase(std::remove_if(answers_.begin(), answers_.end(), same), answers_.end());
                abandon(ticket);
            }
            starts.clear();
            cancels.clear();
            if (multi_) {
                int running = 0;
                curl_->multiPerform(multi_, &running);
                finished();
            }
            if (!answers_.empty()) {
                done_(answers_);
                answers_.clear();
            }
            prune();
            if (!multi_) {
                // Without a multi handle (out of memory) every look fails at
                // once; the thread waits for the next one.
                std::unique_lock<std::mutex> lock(mutex_);
                posted_.wait(lock, [this] { return ending_ || !starts_.empty() || !cancels_.empty(); });
                continue;
            }
            long timeout = -1;
            curl_->multiTimeout(multi_, &timeout);
            const int wait = timeout < 0 ? kIdlePollMs : static_cast<int>(std::min<long>(timeout, kIdlePollMs));
            curl_->multiPoll(multi_, nullptr, 0, wait, nullptr);
        }
    }

    Done done_;
    const LinuxCurl* curl_ = nullptr;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<std::pair<std::uint64_t, ProbeRequest>> starts_;
    std::vector<std::uint64_t> cancels_;
    bool ending_ = false;
    std::atomic<std::size_t> underWay_{0};
    // Only the prober's thread touches these.
    std::unordered_map<std::uint64_t, std::unique_ptr<Flight>> flights_;
    std::unordered_map<std::string, Kept> kept_;
    NetworkProber::Answers answers_;
    std::chrono::steady_clock::time_point lastPrune_ = std::chrono::steady_clock::now();
};

}  // namespace

std::unique_ptr<NetworkProber> makeNetworkProber(NetworkProber::Done done) {
    return std::make_unique<LinuxNetworkProber>(std::move(done));
}

}  // namespace platform
