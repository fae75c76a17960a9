#include "device/hidraw_arrivals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

HidrawArrivals::HidrawArrivals(const std::string& devFolder, std::function<void()> changed) {
    m_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_fd < 0 ||
        ::inotify_add_watch(m_fd, devFolder.c_str(), IN_CREATE | IN_DELETE | IN_ATTRIB) < 0)
        return;
    if (::pipe2(m_quit, O_CLOEXEC) != 0)
        return;
    m_thread = std::thread([this, changed = std::move(changed)] {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_quit[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            bool hidraw = false;
            for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
                for (char* p = buffer; p < buffer + n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(p);
                    hidraw = hidraw || (event->len && std::strncmp(event->name, "hidraw", 6) == 0);
                    p += sizeof(inotify_event) + event->len;
                }
            }
            if (hidraw)
                changed();
        }
    });
}

HidrawArrivals::~HidrawArrivals() {
    if (m_thread.joinable()) {
        [[maybe_unused]] const ssize_t n = ::write(m_quit[1], "q", 1);
        m_thread.join();
    }
    for (int fd : {m_fd, m_quit[0], m_quit[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}
