#include "Server.h"

#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Catalogue.h"
#include "RequestHandler.h"

namespace updsrv {

namespace {

constexpr size_t kWorkers = 32;   // held (never-end) replies each keep one

void LogLine(std::string line) {
    line += '\n';
    // One write per line, so lines from different workers do not interleave.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

}  // namespace

struct Server::Impl {
    explicit Impl(const Options& o) : options(o), catalogue(o.catalogue) {}

    // Waits until Stop or until the time has passed; true when stopping.
    bool WaitForStop(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return wake.wait_for(lock, limit, [this] { return stopping; });
    }
    void WaitForStop() {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return stopping; });
    }

    void Handle(const httplib::Request& req, httplib::Response& res);

    Options options;
    Catalogue catalogue;
    httplib::Server http;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<bool> running{false};
    std::atomic<bool> runDone{false};
};

void Server::Impl::Handle(const httplib::Request& req, httplib::Response& res) {
    if (req.path != options.path) {
        res.status = 404;
        res.set_content("error\nno such script\n", "text/plain");
        return;
    }
    Reply reply = AnswerRequest(catalogue, QueryParams(req.params.begin(), req.params.end()));
    const FaultSet& faults = options.faults;
    const bool faulty = faults.AppliesTo(reply.op);
    ApplyFaults(faults, reply);
    if (faulty && faults.delayMs > 0) WaitForStop(std::chrono::milliseconds(faults.delayMs));
    res.status = reply.status;
    if (!(faulty && faults.neverEnd)) {
        res.set_content(reply.body, "text/plain");
        return;
    }
    // Headers and the first half of the body go out; then the connection stays
    // open with nothing more until shutdown, when it is dropped unfinished.
    LogLine("holding " + req.target + " open");
    auto body = std::make_shared<std::string>(std::move(reply.body));
    res.set_chunked_content_provider("text/plain", [this, body](size_t offset, httplib::DataSink& sink) {
        const size_t half = (body->size() + 1) / 2;
        if (offset < half) return sink.write(body->data() + offset, half - offset);
        WaitForStop();
        return false;
    });
}

Server::Server(const Options& options) : impl_(new Impl(options)) {
    httplib::Server& http = impl_->http;
    http.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    // Short idle limits, so that a kept-alive connection cannot hold up shutdown.
    http.set_keep_alive_timeout(1);
    http.set_read_timeout(2, 0);
    http.set_tcp_nodelay(true);
    // Address reuse only: with port reuse a second server would share a taken
    // port silently instead of failing to start.
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    http.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        LogLine(req.method + " " + req.target + " " + std::to_string(res.status));
    });
    http.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { impl_->Handle(req, res); });
}

Server::~Server() = default;

int Server::Bind(std::string& error) {
    const int port = impl_->options.port;
    const char* host = impl_->options.bind.c_str();
    if (port == 0) {
        const int chosen = impl_->http.bind_to_any_port(host);
        if (chosen > 0) return chosen;
    } else if (impl_->http.bind_to_port(host, port)) {
        return port;
    }
    error = std::string("cannot listen on ") + host + ":" + std::to_string(port);
    return -1;
}

bool Server::Run() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->stopping) {
            impl_->runDone = true;
            return true;
        }
        impl_->running = true;
    }
    const bool ok = impl_->http.listen_after_bind();
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        stopped = impl_->stopping;
    }
    impl_->runDone = true;
    return ok || stopped;
}

void Server::Stop() {
    bool started;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        started = impl_->running;
    }
    impl_->wake.notify_all();
    if (!started) return;
    // Run may not have reached its accept loop yet, when stop() would miss it.
    while (!impl_->runDone) {
        if (impl_->http.is_running()) impl_->http.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace updsrv
