#include "poll_test_util.h"

namespace zkx::test {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_lock;
std::vector<PollScript*> g_scripts;
std::vector<HANDLE> g_threads;
std::vector<std::string> g_trace;

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    auto start = Clock::now();
    while (!done()) {
        if (ms_since(start) > timeout_ms) return false;
        Sleep(1);
    }
    return true;
}

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

ZKPOLL_THDATA PollScript::def(DWORD id, DWORD interval, DWORD late_ms) const {
    return ZKPOLL_THDATA{&PollScript::callback, interval, id, {slot_, late_ms}};
}

void PollScript::answer(DWORD event, DWORD result, DWORD action) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_[event] = {result, action};
}

bool PollScript::wait_holding() const {
    return wait_until([this] { return holding_.load(); }, 5000);
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

bool PollScript::wait_count(DWORD event, int n, int timeout_ms) const {
    return wait_until([&] { return count(event) >= n; }, timeout_ms);
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

HANDLE run_worker(PZKPOLL_THREAD pTh) {
    HANDLE h = nullptr;
    test_starter(nullptr, 0, 0, thPoll, pTh, nullptr, &h);
    return h;
}

void use_fast_rounds() { g_zkPollTiming = {1, 1, 1, 1, 200}; }

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

ZKPOLL_MSG next_reply(PZKPOLL_THREAD pTh, int timeout_ms) {
    ZKPOLL_MSG msg{};
    wait_until([&] { return pop_reply(pTh, &msg) == 0 && msg.dwCode != 0; }, timeout_ms);
    return msg;
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

DWORD PollFixture::create(std::vector<ZKPOLL_THDATA> defs, PFN_ZKPOLL_START_THREAD starter) {
    ZKPOLL_THDATA none{};  // the array must exist even when it is empty
    ZKPOLL_PARAM param{DWORD(defs.size()), defs.empty() ? &none : defs.data(), starter};
    return ZKPollCreate(&param, &h, 0);
}

}  // namespace zkx::test
