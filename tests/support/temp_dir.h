#pragma once

#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

// The system's folder for temporary files, as UTF-8.
inline std::string SystemTempFolder() {
#ifdef _WIN32
    std::error_code ec;
    const std::u8string text = std::filesystem::temp_directory_path(ec).u8string();
    std::string folder(text.begin(), text.end());
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    return folder;
#else
    return "/tmp";
#endif
}

// A fresh folder under /tmp (the system's temporary folder on Windows), removed with everything
// in it when the test ends.
class TempDir {
  public:
    // `base`: where the folder is made (for example /dev/shm, in memory, for tests whose
    // databases would otherwise wait on the disk).
    explicit TempDir(const std::string& base = SystemTempFolder()) {
#ifdef _WIN32
        std::random_device random;
        for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
            const std::string path = base + "/pravune-test-" + std::to_string(random());
            std::error_code ec;
            if (std::filesystem::create_directory(std::u8string(path.begin(), path.end()), ec))
                m_path = path;
        }
#else
        std::string pattern = base + "/pravune-test-XXXXXX";
        m_path = ::mkdtemp(pattern.data()) ? pattern : std::string();
#endif
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const {
        return m_path;
    }
    std::string File(const std::string& name) const {
        return m_path + "/" + name;
    }

    std::string Write(const std::string& name, const std::string& bytes) const {
        std::string p = File(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

  private:
    std::string m_path;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
