// The state file: one record line per submitted task, "('<task id>',<results JSON>)\n".
//
// Writers append each line with a single write on a file opened for appending, so lines of
// concurrent writers never interleave, and hold an exclusive lock on the file from the check
// of its last line to the end of their write, so that no writer takes another's line in
// progress for a torn one. Readers parse exactly that format (the JSON part with
// a JSON decoder, never by evaluating text) and pass over any line that does not follow it,
// such as one torn by a writer killed mid-write, so one bad line hides no other task.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <sys/file.h>
#endif

#include "mock.hpp"
#include "support/module.hpp"
#include "support/pyops.hpp"

using norvane::checked;

namespace mock {

namespace {

constexpr Py_ssize_t kReadChunk = Py_ssize_t(1) << 20;

// Closes `file` while an error from using it is already on its way out (a pending Python
// error is kept); a second error from close() would only hide the first.
void close_after_error(nb::handle file) noexcept { norvane::call_keeping_error(file, "close"); }

// Runs body(file) on `file` and closes it afterwards, also when body fails.
template <typename Body> auto with_file(nb::object file, Body &&body) {
    try {
        auto result = body(file);
        file.attr("close")();
        return result;
    } catch (...) {
        close_after_error(file);
        throw;
    }
}

// The size of the file and whether it ends in a line feed (true when empty).
std::pair<long long, bool> file_end(nb::handle file) {
    long long end = nb::cast<long long>(file.attr("seek")(0, 2));
    if (end == 0) return {0, true};
    file.attr("seek")(end - 1);
    nb::bytes last(file.attr("read")(1));
    return {end, last.size() == 1 && last.c_str()[0] == '\n'};
}

// Whether the file (opened for reading and appending) ends inside a torn line, which the next
// record must not continue. Another process's single write of a long line can be seen half
// done for a moment (the size grows page by page), so an unfinished end counts as torn only
// once the size has stopped changing.
// An exclusive lock on an open file for the life of this object (an advisory lock, which every
// writer of this module takes; none on Windows). The GIL is released while it waits, so a
// thread of this process that holds the lock can finish.
class ExclusiveLock {
public:
    explicit ExclusiveLock(nb::handle file) : fd_(nb::cast<int>(file.attr("fileno")())) {
#ifndef _WIN32
        int result;
        {
            nb::gil_scoped_release unlocked;
            do result = ::flock(fd_, LOCK_EX);
            while (result != 0 && errno == EINTR);
        }
        if (result != 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
#endif
    }
    ~ExclusiveLock() {
#ifndef _WIN32
        ::flock(fd_, LOCK_UN);
#endif
    }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;

private:
    int fd_;
};

bool ends_inside_line(nb::handle file) {
    constexpr int kChecks = 50;
    auto [end, terminated] = file_end(file);
    for (int check = 0; check < kChecks && !terminated; ++check) {
        {
            nb::gil_scoped_release unlocked;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        auto [now, now_terminated] = file_end(file);
        if (now == end) return !now_terminated;
        end = now;
        terminated = now_terminated;
    }
    return !terminated;
}

// The results mapping of one candidate line's remainder after the matched "('<id>'," head:
// "<JSON>)" with an optional carriage return (lines written in text mode on Windows). None
// when the remainder is not in the writer's format.
nb::object decode_remainder(std::string_view rest) {
    if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    if (rest.empty() || rest.back() != ')') return nb::none();
    rest.remove_suffix(1);
    nb::bytes text(rest.data(), rest.size());
    PyObject *decoded = PyObject_CallOneArg(norvane::imports<Imports>().json_loads.ptr(), text.ptr());
    if (!decoded) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();  // MemoryError, RecursionError
        PyErr_Clear();
        return nb::none();
    }
    nb::object mapping = nb::steal(decoded);
    return PyDict_CheckExact(mapping.ptr()) ? mapping : nb::none();
}

// Finds the lines that start with a given head, reading a file chunk by chunk: the head of
// each line is compared byte by byte while it arrives, other lines are skipped to their line
// feed, and only a matching line is collected whole.
class LineScanner {
public:
    explicit LineScanner(std::string head) : head_(std::move(head)) {}

    // Feeds the next chunk; returns the decoded mapping of the first matching well-formed line
    // completed in it, or None. Call with an empty chunk at the end of the file.
    nb::object feed(const char *data, std::size_t size, bool at_end) {
        std::size_t pos = 0;
        while (pos < size) {
            if (state_ == State::head) {
                char c = data[pos++];
                if (c == '\n') { matched_ = 0; continue; }
                if (c != head_[matched_]) { state_ = State::skip; continue; }
                if (++matched_ == head_.size()) { state_ = State::collect; line_.clear(); }
            } else {
                const char *newline = static_cast<const char *>(std::memchr(data + pos, '\n', size - pos));
                std::size_t stop = newline ? std::size_t(newline - data) : size;
                if (state_ == State::collect) line_.append(data + pos, stop - pos);
                pos = stop;
                if (!newline) break;
                ++pos;
                if (state_ == State::collect) {
                    nb::object found = finish_line();
                    if (!found.is_none()) return found;
                }
                state_ = State::head;
                matched_ = 0;
            }
        }
        // A last line without its line feed still counts when it is complete otherwise.
        if (at_end && state_ == State::collect) return finish_line();
        return nb::none();
    }

private:
    enum class State { head, skip, collect };

    nb::object finish_line() {
        nb::object found = decode_remainder(line_);
        line_.clear();
        line_.shrink_to_fit();
        return found;
    }

    std::string head_;
    std::size_t matched_ = 0;
    State state_ = State::head;
    std::string line_;
};

}  // namespace

void append_record(nb::handle path, const std::string &task_id, nb::handle results_json) {
    nb::str json_text = nb::borrow<nb::str>(results_json);
    // Unbuffered: every write below is one write system call.
    nb::object file = norvane::imports<Imports>().io_open(path, "a+b", 0);
    with_file(file, [&](nb::handle f) {
        ExclusiveLock lock(f);
        std::string line = ends_inside_line(f) ? "\n" : "";
        line += "('" + task_id + "',";
        line += json_text.c_str();
        line += ")\n";
        nb::bytes data(line.data(), line.size());
        // A short write (only on a full disk or similar) continues with the rest of the line.
        std::size_t written = 0;
        while (written < line.size()) {
            nb::object count = f.attr("write")(written == 0 ? nb::object(data)
                                                            : nb::bytes(line.data() + written, line.size() - written));
            std::size_t step = count.is_none() ? 0 : nb::cast<std::size_t>(count);
            if (step == 0) {
                PyErr_SetString(PyExc_OSError, "the state file accepted no more data");
                throw nb::python_error();
            }
            written += step;
        }
        return 0;
    });
}

nb::object find_record(nb::handle path, nb::handle task_id) {
    nb::object file = norvane::imports<Imports>().io_open(path, "rb", 0);
    return with_file(file, [&](nb::handle f) -> nb::object {
        // The writer's ids are plain texts between single quotes; an id holding a quote, a
        // backslash or a line break (or one that cannot be encoded) names no record.
        Py_ssize_t id_size = 0;
        const char *id = PyUnicode_AsUTF8AndSize(task_id.ptr(), &id_size);
        if (!id) {
            PyErr_Clear();
            return nb::none();
        }
        std::string_view id_text(id, std::size_t(id_size));
        if (id_text.find_first_of("'\\\n\r") != std::string_view::npos) return nb::none();
        LineScanner scanner("('" + std::string(id_text) + "',");
        nb::object buffer = checked(PyByteArray_FromStringAndSize(nullptr, kReadChunk));
        while (true) {
            nb::object count = f.attr("readinto")(buffer);
            std::size_t size = count.is_none() ? 0 : nb::cast<std::size_t>(count);
            nb::object found = scanner.feed(PyByteArray_AS_STRING(buffer.ptr()), size, size == 0);
            if (!found.is_none() || size == 0) return found;
        }
    });
}

}  // namespace mock
