#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "cli/exit_code.h"
#include "station/thread_host.h"

// Stops every running station when SIGINT or SIGTERM (on Windows Ctrl+C, Ctrl+Break or the
// console closing) arrives: the signals are blocked in all threads and taken by this one, so no
// handler runs in the middle of a station.
class StopSignal {
  public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Watch(ThreadHost& host);
    void Forget(ThreadHost& host);
    bool Stopped();
    // The exit code of a stopped run: 143 after SIGTERM, else 130.
    int StoppedExit();
    // Waits until stopped, told, or `timeout` has passed; true when stopped.
    bool WaitFor(std::chrono::milliseconds timeout);
    void Tell();

  private:
    void Stop(int exit);
#ifdef _WIN32
    static BOOL WINAPI OnConsole(DWORD /*event*/);
#else
    sigset_t m_set{};
    std::thread m_thread;
#endif
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<ThreadHost*> m_hosts;
    bool m_stopped = false;
    bool m_told = false;
    int m_exit = kExitStopped;
};
