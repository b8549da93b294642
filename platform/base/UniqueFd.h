// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Owns a file descriptor and closes it when it goes out of scope, so no way out of a function
// leaks one.

#include <utility>

namespace tavrenly {

class UniqueFd
{
public:
    UniqueFd() noexcept = default;
    /// Takes `fd` (may be negative: then nothing is owned).
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    /// Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(m_fd, -1); }
    /// Closes now; returns close()'s result (0, or -1 with errno set), 0 when nothing is owned.
    int Close() noexcept;

private:
    int m_fd = -1;
};

} // namespace tavrenly
