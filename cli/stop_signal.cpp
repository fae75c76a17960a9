#include "cli/stop_signal.h"

#ifndef _WIN32
#include <pthread.h>
#endif

#include <atomic>

#ifdef _WIN32
namespace {

// The one StopSignal that Ctrl+C and Ctrl+Break reach: the console calls a plain function, on a
// thread of its own, and hands it nothing else.
std::atomic<StopSignal*> g_consoleStop{nullptr};

}  // namespace

StopSignal::StopSignal() {
    g_consoleStop.store(this);
    ::SetConsoleCtrlHandler(&StopSignal::OnConsole, TRUE);
}

StopSignal::~StopSignal() {
    ::SetConsoleCtrlHandler(&StopSignal::OnConsole, FALSE);
    g_consoleStop.store(nullptr);
}

BOOL WINAPI StopSignal::OnConsole(DWORD /*event*/) {
    StopSignal* stop = g_consoleStop.load();
    if (!stop)
        return FALSE;
    stop->Stop(kExitStopped);
    return TRUE;  // the stations stop and the program ends by itself
}
#else
StopSignal::StopSignal() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    sigaddset(&m_set, SIGUSR1);  // wakes the watcher at the end
    pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
    m_thread = std::thread([this] {
        for (;;) {
            int signal = 0;
            if (sigwait(&m_set, &signal) != 0 || signal == SIGUSR1)
                return;
            Stop(signal == SIGTERM ? kExitTerminated : kExitStopped);
        }
    });
}

StopSignal::~StopSignal() {
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
}
#endif

void StopSignal::Watch(ThreadHost& host) {
    const std::lock_guard lock(m_mutex);
    m_hosts.insert(&host);
    if (m_stopped)
        host.Cancel();
}

void StopSignal::Forget(ThreadHost& host) {
    const std::lock_guard lock(m_mutex);
    m_hosts.erase(&host);
}

bool StopSignal::Stopped() {
    const std::lock_guard lock(m_mutex);
    return m_stopped;
}

int StopSignal::StoppedExit() {
    const std::lock_guard lock(m_mutex);
    return m_exit;
}

bool StopSignal::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_stopped || m_told; });
    m_told = false;
    return m_stopped;
}

void StopSignal::Tell() {
    const std::lock_guard lock(m_mutex);
    m_told = true;
    m_changed.notify_all();
}

void StopSignal::Stop(int exit) {
    const std::lock_guard lock(m_mutex);
    if (!m_stopped)
        m_exit = exit;
    m_stopped = true;
    for (ThreadHost* host : m_hosts)
        host->Cancel();
    m_changed.notify_all();
}
