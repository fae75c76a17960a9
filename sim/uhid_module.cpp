#include "sim/uhid_module.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const std::uint8_t kModuleReportDescriptor[16] = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0xC0,              // End Collection
};

namespace {

long long NowMs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

UhidModule::UhidModule(VirtualBootloader& module, Options options)
    : m_module(module), m_options(std::move(options)) {}

UhidModule::~UhidModule() {
    Destroy();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UhidModule::Write(const void* event, std::size_t size) {
    for (;;) {
        ssize_t n = ::write(m_fd, event, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n == static_cast<ssize_t>(size);
    }
}

bool UhidModule::SendCreate() {
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name,
                  "PRAVUNE virtual bootloader");
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.phys), sizeof ev.u.create2.phys,
                  "pravune-vmodule");
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.uniq), sizeof ev.u.create2.uniq, "%s",
                  m_options.serial.c_str());
    std::memcpy(ev.u.create2.rd_data, kModuleReportDescriptor, sizeof kModuleReportDescriptor);
    ev.u.create2.rd_size = sizeof kModuleReportDescriptor;
    ev.u.create2.bus = 0x03;  // USB
    ev.u.create2.vendor = m_options.vendor;
    ev.u.create2.product = m_options.product;
    m_created = Write(&ev, sizeof ev);
    return m_created;
}

void UhidModule::Destroy() {
    if (!m_created)
        return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    Write(&ev, sizeof ev);
    m_created = false;
}

bool UhidModule::Create(std::string& error) {
    m_fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (m_fd < 0) {
        const int why = errno;
        error = std::string("/dev/uhid: ") + std::strerror(why);
        if (why == ENOENT)
            error += " (the uhid kernel module is not loaded: sudo modprobe uhid)";
        else if (why == EACCES)
            error += " (run as root, or with write access to /dev/uhid)";
        return false;
    }
    if (!SendCreate()) {
        error = std::string("UHID_CREATE2: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void UhidModule::HandleEvent() {
    uhid_event ev{};
    ssize_t n = ::read(m_fd, &ev, sizeof ev);
    if (n <= 0)
        return;
    const bool silent = m_options.noAnswerAfter >= 0 && m_requests >= m_options.noAnswerAfter;
    if (ev.type == UHID_SET_REPORT) {
        ++m_requests;
        if (silent)
            return;
        const auto& req = ev.u.set_report;
        const std::size_t size = std::min<std::size_t>(req.size, sizeof req.data);
        // Byte 0 is the report id (0); the packet follows.
        const bool ok = size >= 1 && m_module.SetReport(req.data + 1, size - 1);
        uhid_event reply{};
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = req.id;
        reply.u.set_report_reply.err = ok ? 0 : EIO;
        Write(&reply, sizeof reply);
    } else if (ev.type == UHID_GET_REPORT) {
        ++m_requests;
        if (silent)
            return;
        const auto& req = ev.u.get_report;
        uhid_event reply{};
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = req.id;
        // Lead with the report id, as a USB device's answer reads through hidraw.
        reply.u.get_report_reply.data[0] = req.rnum;
        const bool ok = m_module.GetReport(reply.u.get_report_reply.data + 1, 64);
        reply.u.get_report_reply.err = ok ? 0 : EIO;
        reply.u.get_report_reply.size = ok ? 65 : 0;
        auto past = [this](long after) { return after >= 0 && m_answers >= after; };
        if (ok && past(m_options.shortAfter)) {
            reply.u.get_report_reply.size = 1;
        } else if (ok && past(m_options.garbageAfter)) {
            for (int i = 1; i <= 64; ++i)
                reply.u.get_report_reply.data[i] ^= 0xFF;
        } else if (ok) {
            ++m_answers;
        }
        Write(&reply, sizeof reply);
        if (ok && ++m_exchanges == m_options.vanishAfter) {
            Destroy();
            m_recreateAtMs = m_options.absentMs >= 0 ? NowMs() + m_options.absentMs : -1;
        }
    }
}

int UhidModule::Run(const volatile sig_atomic_t& stop) {
    while (!stop) {
        int timeout = -1;
        if (!m_created && m_recreateAtMs >= 0) {
            const long long wait = m_recreateAtMs - NowMs();
            if (wait <= 0) {
                m_recreateAtMs = -1;
                if (!SendCreate())
                    return 1;
                continue;
            }
            timeout = static_cast<int>(wait);
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready < 0 && errno != EINTR)
            return 1;
        if (ready > 0 && (p.revents & POLLIN))
            HandleEvent();
    }
    return 0;
}
