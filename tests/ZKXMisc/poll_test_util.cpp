#include "poll_test_util.h"

#include <thread>

namespace zkx::test {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_lock;
std::vector<PollScript*> g_scripts;
std::vector<HANDLE> g_threads;

PollScript* script_at(DWORD slot) {
    std::lock_guard<std::mutex> guard(g_lock);
    return slot < g_scripts.size() ? g_scripts[slot] : nullptr;
}

}  // namespace

long ms_since(Clock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
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

void PollScript::answer(DWORD event, DWORD result, DWORD action) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_[event] = {result, action};
}

void PollScript::hold(DWORD event) {
    released_ = false;
    held_event_ = event;
}

void PollScript::release() { released_ = true; }

void PollScript::delay(DWORD event, DWORD ms) {
    std::lock_guard<std::mutex> guard(lock_);
    delays_[event] = ms;
}

ZKPOLL_THDATA PollScript::def(DWORD id, DWORD interval) const {
    ZKPOLL_THDATA d{};
    d.pfnCallback = &PollScript::callback;
    d.dwInterval = interval;
    d.dwId = id;
    d.adwUser[0] = slot_;
    return d;
}

std::vector<DWORD> PollScript::events() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<DWORD> out;
    for (auto& c : calls_) out.push_back(c.first);
    return out;
}

int PollScript::count(DWORD event) const {
    std::lock_guard<std::mutex> guard(lock_);
    int n = 0;
    for (auto& c : calls_) n += c.first == event;
    return n;
}

std::vector<long> PollScript::times(DWORD event) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<long> out;
    for (auto& c : calls_)
        if (c.first == event) out.push_back(c.second);
    return out;
}

bool PollScript::wait_count(DWORD event, int n, int timeout_ms) const {
    auto start = Clock::now();
    while (count(event) < n) {
        if (ms_since(start) > timeout_ms) return false;
        Sleep(2);
    }
    return true;
}

bool PollScript::wait_holding(int timeout_ms) const {
    auto start = Clock::now();
    while (!holding()) {
        if (ms_since(start) > timeout_ms) return false;
        Sleep(1);
    }
    return true;
}

DWORD ZKAPI PollScript::callback(PZKPOLL_THREAD pTh, DWORD, DWORD dwEvent, LPDWORD pdwUser,
                                 LPDWORD, LPDWORD pdwAction, DWORD) {
    PollScript* s = script_at(pdwUser[0]);
    if (!s) return 0;
    std::pair<DWORD, DWORD> reply{0, 0};
    DWORD delay = 0;
    {
        std::lock_guard<std::mutex> guard(s->lock_);
        s->calls_.emplace_back(dwEvent, ms_since(s->born_));
        if (s->answers_.count(dwEvent)) reply = s->answers_[dwEvent];
        if (s->delays_.count(dwEvent)) delay = s->delays_[dwEvent];
    }
    // No lock is held while holding, so that a terminated worker leaves
    // nothing locked behind.
    if (s->held_event_ == dwEvent) {
        s->holding_ = true;
        while (!s->released_) Sleep(2);
        s->holding_ = false;
    }
    if (s->probe) s->probe(pTh, dwEvent);
    if (delay) Sleep(delay);
    *pdwAction = reply.second;
    return reply.first;
}

// A worker whose user word 1 is nonzero starts that many ms late, as a
// thread that the system has not scheduled yet would.
struct LateStart {
    LPTHREAD_START_ROUTINE fn;
    LPVOID arg;
    DWORD delay;
};

DWORD ZKAPI start_late(LPVOID p) {
    LateStart late = *static_cast<LateStart*>(p);
    delete static_cast<LateStart*>(p);
    Sleep(late.delay);
    return late.fn(late.arg);
}

DWORD ZKAPI test_starter(PZKPOLL_HANDLE, DWORD, DWORD, LPTHREAD_START_ROUTINE pfnThread,
                         LPVOID pvArg, LPDWORD padwUser, PHANDLE phThread) {
    HANDLE h;
    if (padwUser && padwUser[1]) {
        auto* late = new LateStart{pfnThread, pvArg, padwUser[1]};
        h = CreateThread(nullptr, 0, start_late, late, 0, nullptr);
        if (!h) delete late;
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

namespace {
std::mutex g_trace_lock;
std::vector<std::string> g_trace_lines;
}  // namespace

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
    std::lock_guard<std::mutex> guard(g_trace_lock);
    g_trace_lines.clear();
}

DWORD TraceCapture::record(ZKDLOG_OUTPUT*, LPCSTR text, DWORD length) {
    std::string line(text, length);
    if (hook) hook(line);
    std::lock_guard<std::mutex> guard(g_trace_lock);
    g_trace_lines.push_back(std::move(line));
    return 0;
}

std::vector<std::string> TraceCapture::lines() const {
    std::lock_guard<std::mutex> guard(g_trace_lock);
    return g_trace_lines;
}

int TraceCapture::count(const std::string& text) const {
    int n = 0;
    for (auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
}

ZKPOLL_MSG next_reply(PZKPOLL_THREAD pTh, int timeout_ms) {
    auto start = Clock::now();
    ZKPOLL_MSG msg{};
    while (ms_since(start) <= timeout_ms) {
        if (pop_reply(pTh, &msg) == 0 && msg.dwCode != 0) return msg;
        Sleep(2);
    }
    msg.dwCode = 0;
    return msg;
}

}  // namespace zkx::test
