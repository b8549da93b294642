#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace tavrenly::test {

TempDir::TempDir()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("tavrenly-test-" + std::to_string(random() % 1000000000000ull));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = candidate;
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name)
{
    if (const char* old = std::getenv(name))
        m_old = old;
    if (value != nullptr)
        ::setenv(name, value, 1);
}

ScopedEnv::~ScopedEnv()
{
    if (m_old)
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

void ScratchMachineSettings::Write(const std::string& text)
{
    std::filesystem::create_directories(m_dir.Path() / "Corvane");
    std::ofstream(m_dir.Path() / "Corvane" / "TavrenStream.conf", std::ios::binary) << text;
}

int Run(const std::string& command)
{
    const int status = std::system(command.c_str());
    if (status == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void RunOrFail(const std::string& command)
{
    ASSERT_EQ(Run(command), 0) << "command failed: " << command;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const std::string& path)
{
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::string& path, const std::string& text)
{
    WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<std::string> LogLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 20 && line[2] == '/' && line[5] == '/')
            line.erase(0, 20); // "dd/mm/yyyy hh:nn:ss "
        lines.push_back(line);
    }
    return lines;
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted)
{
    auto at = lines.begin();
    for (const std::string& w : wanted) {
        at = std::find(at, lines.end(), w);
        if (at == lines.end()) {
            ADD_FAILURE() << "missing or out of order: \"" << w << "\"";
            return false;
        }
        ++at;
    }
    return true;
}

ByteWriter& ByteWriter::Tag(const char (&fourcc)[5])
{
    m_data.insert(m_data.end(), fourcc, fourcc + 4);
    return *this;
}

ByteWriter& ByteWriter::U16(uint16_t value)
{
    m_data.push_back(static_cast<uint8_t>(value));
    m_data.push_back(static_cast<uint8_t>(value >> 8));
    return *this;
}

ByteWriter& ByteWriter::U32(uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        m_data.push_back(static_cast<uint8_t>(value >> shift));
    return *this;
}

ByteWriter& ByteWriter::Bytes(const std::vector<uint8_t>& bytes)
{
    m_data.insert(m_data.end(), bytes.begin(), bytes.end());
    return *this;
}

ByteWriter& ByteWriter::Zeros(size_t count)
{
    m_data.insert(m_data.end(), count, 0);
    return *this;
}

} // namespace tavrenly::test
