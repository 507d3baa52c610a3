// The print sink of the zip tests: every line that a platform context prints
// (whatever thread prints it) is kept under one lock, and read back as a
// copy. Pass capture_line as the print callback; a fixture clears the lines
// in its SetUp.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace zip_test {

class log_capture {
public:
    static log_capture &get()
    {
        static log_capture c;
        return c;
    }
    void add(const char *text)
    {
        std::lock_guard lk(mtx_);
        lines_.emplace_back(text);
    }
    void clear()
    {
        std::lock_guard lk(mtx_);
        lines_.clear();
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lk(mtx_);
        return lines_;
    }
    // Lines that contain `part`.
    size_t count(const std::string &part) const
    {
        std::lock_guard lk(mtx_);
        size_t n = 0;
        for (const std::string &l : lines_)
            if (l.find(part) != std::string::npos)
                ++n;
        return n;
    }

private:
    mutable std::mutex mtx_;
    std::vector<std::string> lines_;
};

// The print callback (plt_print_fn).
inline void capture_line(const char *text) { log_capture::get().add(text); }
inline size_t log_count(const std::string &part) { return log_capture::get().count(part); }
inline bool log_has(const std::string &part) { return log_count(part) != 0; }
inline std::vector<std::string> log_lines() { return log_capture::get().lines(); }
inline void log_clear() { log_capture::get().clear(); }

}  // namespace zip_test
