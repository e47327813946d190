#include "poll_test_util.h"

namespace zkx::test {
namespace {

std::mutex g_lock;
std::vector<PollScript*> g_scripts;
std::vector<HANDLE> g_threads;
std::vector<std::string> g_trace;

struct LateStart {
    LPTHREAD_START_ROUTINE fn;
    LPVOID arg;
    DWORD delay;
};

DWORD ZKAPI start_late(LPVOID p) {
    LateStart late = *static_cast<LateStart*>(p);
    delete static_cast<LateStart*>(p);
    Sleep(late.delay);  // as a thread the system has not scheduled yet
    return late.fn(late.arg);
}

}  // namespace

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    for (auto start = std::chrono::steady_clock::now(); !done(); Sleep(1))
        if (ms_since(start) > timeout_ms) return false;
    return true;
}

PollScript::PollScript() {
    std::lock_guard<std::mutex> guard(g_lock);
    slot_ = DWORD(g_scripts.size());
    g_scripts.push_back(this);
}

PollScript::~PollScript() {
    release();
    std::lock_guard<std::mutex> guard(g_lock);
    g_scripts[slot_] = nullptr;
}

std::vector<DWORD> PollScript::events() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<DWORD> out;
    for (auto& c : calls_) out.push_back(c.first);
    return out;
}

std::vector<long> PollScript::times(DWORD event) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<long> out;
    for (auto& c : calls_)
        if (c.first == event) out.push_back(c.second);
    return out;
}

DWORD ZKAPI PollScript::callback(PZKPOLL_THREAD pTh, DWORD, DWORD dwEvent, LPDWORD pdwUser, LPDWORD,
                                 LPDWORD pdwAction, DWORD) {
    PollScript* s;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        s = g_scripts[pdwUser[0]];
    }
    std::pair<DWORD, DWORD> reply{0, 0};
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->calls_.emplace_back(dwEvent, ms_since(s->born_));
        if (s->answers_.count(dwEvent)) reply = s->answers_[dwEvent];
    }
    // No lock is held while holding: a terminated worker leaves none behind.
    if (s->held_ == dwEvent) {
        s->holding_ = true;
        while (!s->released_) Sleep(2);
        s->holding_ = false;
    }
    if (s->probe) s->probe(pTh, dwEvent);
    *pdwAction = reply.second;
    return reply.first;
}

DWORD ZKAPI test_starter(PZKPOLL_HANDLE, DWORD, DWORD, LPTHREAD_START_ROUTINE pfnThread,
                         LPVOID pvArg, LPDWORD padwUser, PHANDLE phThread) {
    HANDLE h;
    if (padwUser && padwUser[1]) {
        auto* late = new LateStart{pfnThread, pvArg, padwUser[1]};
        if (!(h = CreateThread(nullptr, 0, start_late, late, 0, nullptr))) delete late;
    } else {
        h = CreateThread(nullptr, 0, pfnThread, pvArg, 0, nullptr);
    }
    if (!h) return GetLastError();
    *phThread = h;
    std::lock_guard<std::mutex> guard(g_lock);
    g_threads.push_back(h);
    return 0;
}

std::vector<HANDLE> started_threads() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_threads;
}

bool started_threads_ended(int timeout_ms) {
    for (HANDLE h : started_threads())
        if (WaitForSingleObject(h, DWORD(timeout_ms)) != WAIT_OBJECT_0) return false;
    return true;
}

void close_started_threads() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (HANDLE h : g_threads) CloseHandle(h);
    g_threads.clear();
}

std::function<void(const std::string&)> TraceCapture::hook;

TraceCapture::TraceCapture() {
    ZKDLogCreate("ZKMisc", 0, &log_);
    log_->aOutput[0].wLevel = 0x0001;
    log_->aOutput[0].pfnWrite = record;
    g_hZKMiscLog = log_;
}

TraceCapture::~TraceCapture() {
    g_hZKMiscLog = nullptr;
    ZKDLogDestroy(log_, 0);
    hook = nullptr;
}

DWORD TraceCapture::record(ZKDLOG_OUTPUT*, LPCSTR text, DWORD length) {
    std::string line(text, length);
    if (hook) hook(line);
    std::lock_guard<std::mutex> guard(g_lock);
    g_trace.push_back(std::move(line));
    return 0;
}

std::vector<std::string> TraceCapture::lines() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_trace;
}

int TraceCapture::count(const std::string& text) const {
    int n = 0;
    for (auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
}

void PollFixture::TearDown() {
    for (PollScript* s : {&a, &b, &c}) s->release();
    if (h) {
        EXPECT_EQ(ZKPollDestroy(h, 0, INFINITE), 0u);
    }
    EXPECT_EQ(trace.indent(), 0);
    EXPECT_TRUE(started_threads_ended());
    close_started_threads();
}

}  // namespace zkx::test
