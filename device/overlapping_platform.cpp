#include "device/overlapping_platform.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

// One thread that runs one job at a time for its owner, and waits without using the CPU while
// it has none.
class OverlappingPlatform::Helper {
  public:
    // Null when the system cannot start a thread now: the caller then reads on its own thread.
    static std::unique_ptr<Helper> Start() {
        auto helper = std::make_unique<Helper>();
        try {
            helper->m_thread = std::thread([h = helper.get()] { h->Loop(); });
        } catch (const std::system_error&) {
            return nullptr;
        }
        return helper;
    }
    ~Helper() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void Begin(const std::function<bool()>& job) {
        {
            std::lock_guard lock(m_mutex);
            m_job = &job;
        }
        m_wake.notify_all();
    }
    // Waits for the job Begin handed over; its result.
    bool End() {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_job == nullptr; });
        return m_result;
    }

  private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_quit || m_job != nullptr; });
            if (m_quit)
                return;
            lock.unlock();
            const bool result = (*m_job)();
            lock.lock();
            m_result = result;
            m_job = nullptr;
            m_wake.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    const std::function<bool()>* m_job = nullptr;  // the job running or waiting to run
    bool m_result = false;
    bool m_quit = false;
    std::thread m_thread;
};

class OverlappingPlatform::Device final : public HidDevice {
  public:
    Device(OverlappingPlatform& platform, std::unique_ptr<HidDevice> inner)
        : m_platform(platform), m_inner(std::move(inner)) {}

    bool GetCaps(HidCaps& caps) override { return m_inner->GetCaps(caps); }
    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        return m_inner->SetFeature(report, length);
    }
    // A feature read waits while the module works on the command the write handed over.
    bool GetFeature(std::uint8_t* report, std::size_t length) override {
        if (!m_platform.WorkDue())
            return m_inner->GetFeature(report, length);  // the usual case: nothing to wrap
        return m_platform.ReadBesideWork([&] { return m_inner->GetFeature(report, length); });
    }
    bool GetSerialNumber(std::u16string& serial) override {
        return m_inner->GetSerialNumber(serial);
    }
    bool StillPresent() override { return m_inner->StillPresent(); }

  private:
    OverlappingPlatform& m_platform;
    std::unique_ptr<HidDevice> m_inner;
};

OverlappingPlatform::OverlappingPlatform(HidPlatform& inner) : m_inner(inner) {}

OverlappingPlatform::~OverlappingPlatform() = default;

std::unique_ptr<HidDevice> OverlappingPlatform::Open(const std::string& path, HidOpenError& error) {
    std::unique_ptr<HidDevice> inner = m_inner.Open(path, error);
    if (!inner)
        return nullptr;
    return std::make_unique<Device>(*this, std::move(inner));
}

bool OverlappingPlatform::WorkDue() const {
    return m_work.due && m_work.work && m_work.due();
}

bool OverlappingPlatform::ReadBesideWork(const std::function<bool()>& read) {
    if (!m_helper)
        m_helper = Helper::Start();
    if (!m_helper) {
        m_work.work();
        return read();
    }
    m_helper->Begin(read);
    m_work.work();
    return m_helper->End();
}
