#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

// The bytes of a file and a position in them: numbers of 1 to 8 bytes read
// big- or little-endian, at the position (moving it on) or at any offset,
// and pieces copied out for a decoder's read callback. Every read is checked
// against the end: reading past it throws, with the reason the reader gave.
class ByteCursor {
public:
    explicit ByteCursor(std::string_view bytes, const char* truncated = "the file is truncated")
        : bytes_(bytes), truncated_(truncated)
    {
    }

    std::size_t Size() const { return bytes_.size(); }
    std::size_t At() const { return at_; }
    std::size_t Left() const { return bytes_.size() - at_; }
    // Whether n bytes stand at offset at.
    bool Has(std::size_t at, std::size_t n) const { return at <= bytes_.size() && n <= bytes_.size() - at; }
    bool Has(std::size_t n) const { return Has(at_, n); }

    // Moves to offset at, which may be the end but not beyond it.
    void Seek(std::size_t at)
    {
        Need(at, 0);
        at_ = at;
    }
    void Skip(std::size_t n)
    {
        Need(at_, n);
        at_ += n;
    }

    std::uint64_t BeAt(std::size_t at, int n) const
    {
        Need(at, std::size_t(n));
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | std::uint8_t(bytes_[at + std::size_t(i)]);
        return v;
    }
    std::uint64_t LeAt(std::size_t at, int n) const
    {
        Need(at, std::size_t(n));
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | std::uint8_t(bytes_[at + std::size_t(i)]);
        return v;
    }
    std::uint64_t NumberAt(std::size_t at, int n, bool little) const { return little ? LeAt(at, n) : BeAt(at, n); }
    std::uint8_t ByteAt(std::size_t at) const { return std::uint8_t(BeAt(at, 1)); }

    std::uint64_t Be(int n)
    {
        std::uint64_t v = BeAt(at_, n);
        at_ += std::size_t(n);
        return v;
    }
    std::uint64_t Le(int n)
    {
        std::uint64_t v = LeAt(at_, n);
        at_ += std::size_t(n);
        return v;
    }

    // n bytes from the position on, which it passes.
    std::string_view Take(std::size_t n)
    {
        Need(at_, n);
        std::string_view piece = bytes_.substr(at_, n);
        at_ += n;
        return piece;
    }
    // Up to n bytes into out, as many as are left; how many were copied.
    std::size_t CopyOut(void* out, std::size_t n)
    {
        n = std::min(n, Left());
        if (n > 0)
            std::memcpy(out, bytes_.data() + at_, n);
        at_ += n;
        return n;
    }

    std::string_view Bytes() const { return bytes_; }

private:
    void Need(std::size_t at, std::size_t n) const
    {
        if (!Has(at, n))
            throw std::runtime_error(truncated_);
    }

    std::string_view bytes_;
    std::size_t at_ = 0;
    const char* truncated_;
};

// Writes value's low `bytes` bytes (1 or 2) big-endian at sample index i of out.
inline void PutSample(std::string& out, std::size_t i, std::uint32_t value, int bytes)
{
    if (bytes == 2) {
        out[2 * i] = char(value >> 8);
        out[2 * i + 1] = char(value & 0xff);
    } else {
        out[i] = char(value);
    }
}
