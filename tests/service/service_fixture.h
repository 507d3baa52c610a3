// Shared fixtures of the web gateway tests: a staged install tree, the
// request's streams as strings, environment variables restored at the end
// of a test, and captured log lines.
#pragma once

#include "service/zws_cgi_io.h"
#include "tests/support/zws_log_capture.h"
#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cerrno>  // program_invocation_short_name
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zws_test {

inline std::string source_dir()
{
    const char *dir = getenv("ZW_SOURCE_DIR");
    return dir ? dir : ".";
}

inline std::string binary_dir()
{
    const char *dir = getenv("ZW_BINARY_DIR");
    return dir ? dir : ".";
}

// Where stage_install(name) puts its tree: the test program's own place, as
// programs that stage a tree of the same name run side by side.
inline std::string staged_dir(const std::string &name)
{
    return binary_dir() + "/test-install-" + program_invocation_short_name + "-" + name;
}

// Stages the install tree of tests/e2e/stage_install.sh below the build
// directory (with the test protocol unless `avsc` names another) and points
// VANTOR_INSTALL_PATH at it. Returns the tree's directory.
inline std::string stage_install(const std::string &name, const std::string &avsc = "")
{
    const std::string dir = staged_dir(name);
    const std::string protocol = avsc.empty() ? source_dir() + "/tests/service/fixtures/test.avsc" : avsc;
    const std::string command = "rm -rf '" + dir + "' && '" + source_dir() + "/tests/e2e/stage_install.sh' '" +
                                source_dir() + "' '" + dir + "' '" + protocol + "'";
    if (std::system(command.c_str()) != 0)
        ADD_FAILURE() << "staging failed: " << command;
    setenv("VANTOR_INSTALL_PATH", (dir + "/bin").c_str(), 1);
    return dir;
}

inline std::string read_file(const std::string &path)
{
    std::string text;
    FILE *file = std::fopen(path.c_str(), "r");
    if (!file)
        return text;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        text.append(block, got);
    std::fclose(file);
    return text;
}

inline void write_file(const std::string &path, const std::string &text, bool executable = false)
{
    FILE *file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    if (executable)
        std::system(("chmod +x '" + path + "'").c_str());
}

// The request's streams as strings.
class string_io {
  public:
    std::string out;
    std::string in;
    bool fail_writes = false;

    string_io()
    {
        io_.context = this;
        io_.write = write;
        io_.input = {this, read, error, eof};
        zws_cgi_io_set(&io_);
    }
    ~string_io() { zws_cgi_io_set(nullptr); }
    void set_input(const std::string &body)
    {
        in = body;
        at_ = 0;
    }
    string_io(const string_io &) = delete;
    string_io &operator=(const string_io &) = delete;

  private:
    zws_cgi_io_t io_{};
    size_t at_ = 0;

    static int write(void *context, const char *data, size_t length)
    {
        auto *self = static_cast<string_io *>(context);
        if (self->fail_writes)
            return 22;
        self->out.append(data, length);
        return 0;
    }
    static size_t read(void *context, char *buffer, size_t size)
    {
        auto *self = static_cast<string_io *>(context);
        const size_t count = std::min(size, self->in.size() - self->at_);
        self->in.copy(buffer, count, self->at_);
        self->at_ += count;
        return count;
    }
    static int error(void *) { return 0; }
    static int eof(void *context)
    {
        auto *self = static_cast<string_io *>(context);
        return self->at_ >= self->in.size();
    }
};

// Sets and removes variables for one test; the old values come back after.
class env_guard {
  public:
    ~env_guard()
    {
        for (auto &[name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    void set(const std::string &name, const std::string &value)
    {
        save(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string &name)
    {
        save(name);
        unsetenv(name.c_str());
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
    void save(const std::string &name)
    {
        if (saved_.count(name))
            return;
        const char *value = getenv(name.c_str());
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
};

using zw_test::log_capture;

// xmllint --noout on a document; true when it is well-formed.
inline bool xml_well_formed(const std::string &document)
{
    const std::string path = binary_dir() + "/xmllint-input-" + std::to_string(getpid()) + ".xml";
    FILE *file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    std::fwrite(document.data(), 1, document.size(), file);
    std::fclose(file);
    const bool ok = std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str()) == 0;
    std::remove(path.c_str());
    return ok;
}

// The body of an answer, after the CGI header.
inline std::string answer_body(const std::string &answer)
{
    const size_t end = answer.find("\n\n");
    return end == std::string::npos ? "" : answer.substr(end + 2);
}

} // namespace zws_test
