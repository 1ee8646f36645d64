// The host bridge's write assembly, driven by a script of reads, pauses, whole frames and floods
// with a virtual clock, taking what is due after every read as the bridge does.
//
// Invariants: every byte goes out once, in order, unless it was dropped for running past one
// frame's length; at most one frame's worth is held; no chunk joins a whole ASCII frame to other
// bytes; a whole frame written in one piece between two pauses of the RTU silence goes out as
// exactly one chunk, whatever was left unfinished before it.
#include <algorithm>

#include "framing.h"
#include "fuzz.h"

using namespace qvfuzz;
using quorvel::kMaxHeldFrame;

namespace {

bool IsText(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == '\r' || c == '\n' ||
           c == ':';
}

// Where a whole ASCII frame starts inside `b`, or npos.
std::size_t FindAsciiFrame(const Bytes &b, std::size_t from = 0)
{
    for (std::size_t i = from; i < b.size(); ++i) {
        if (b[i] != ':') continue;
        std::size_t j = i + 1;
        while (j < b.size() && b[j] != ':' && IsText(b[j]) && b[j] != '\r') ++j;
        if (j + 1 < b.size() && b[j] == '\r' && b[j + 1] == '\n' && IsStrictAscii(b.data() + i, j + 2 - i)) return i;
    }
    return std::string::npos;
}

// An RTU frame the rules can tell from ASCII text: it has a byte that is no text, and before that
// byte no ':' after its first and no CR LF; none of it is a whole ASCII frame. A ':' first is
// device 58, whose function code must then be no text either.
bool Distinguishable(const Bytes &f)
{
    auto it = std::find_if(f.begin(), f.end(), [](std::uint8_t c) { return !IsText(c); });
    if (it == f.end()) return false;
    Bytes prefix(f.begin(), it);
    if (!prefix.empty() && prefix[0] == ':' && prefix.size() > 1) return false;
    for (std::size_t i = 1; i < prefix.size(); ++i)
        if (prefix[i] == ':' || (prefix[i - 1] == '\r' && prefix[i] == '\n')) return false;
    return FindAsciiFrame(f) == std::string::npos;
}

struct Marked {
    Bytes frame;
    std::size_t read;  // its index in reads_
    bool pauseBefore;
};

class Harness {
public:
    explicit Harness(std::uint64_t silence) : silence_(silence), a_(silence) {}

    void Add(const Bytes &bytes)
    {
        if (bytes.empty()) return;
        reads_.push_back(now_);
        lastAdd_ = now_;
        added_.insert(added_.end(), bytes.begin(), bytes.end());
        a_.Add(bytes.data(), bytes.size(), now_);
        Take(now_);
    }
    void AddFrame(const Bytes &frame, bool distinguishable)
    {
        bool pause = added_.empty() || now_ - lastAdd_ >= silence_;
        // A CR left unfinished and an LF first make CR LF, which may close a whole ASCII frame.
        if (!added_.empty() && added_.back() == '\r' && frame[0] == '\n') distinguishable = false;
        Add(frame);
        if (distinguishable) marked_.push_back({frame, reads_.size() - 1, pause});
    }
    void Take(std::uint64_t at)
    {
        Bytes chunk;
        while (a_.Take(at, &chunk)) {
            FUZZ_CHECK(!chunk.empty() && chunk.size() <= kMaxHeldFrame, "chunk of " + std::to_string(chunk.size()));
            std::size_t ascii = FindAsciiFrame(chunk);
            if (ascii != std::string::npos) {
                std::size_t end = ascii + 1;
                while (chunk[end] != '\n') ++end;
                FUZZ_CHECK(ascii == 0 && end + 1 == chunk.size(),
                           "an ASCII frame joined to other bytes: " + Hex(chunk));
            }
            chunks_.push_back(chunk);
        }
        FUZZ_CHECK(a_.Held() <= kMaxHeldFrame, "held " + std::to_string(a_.Held()));
    }
    void Advance(std::uint64_t micros) { now_ += micros; }
    void Flush()
    {
        a_.Flush();
        Take(now_);
    }
    std::uint64_t Now() const { return now_; }
    std::uint64_t Silence() const { return silence_; }

    void Finish()
    {
        for (int i = 0; i < 4 && !a_.Empty(); ++i) {
            now_ = std::max(now_, a_.Deadline());
            Take(now_);
        }
        FUZZ_CHECK(a_.Empty(), "still held after every deadline");
        std::uint64_t out = 0;
        for (const Bytes &c : chunks_) out += c.size();
        FUZZ_CHECK(out + a_.Dropped() == added_.size(), std::to_string(out) + " out + " + std::to_string(a_.Dropped()) +
                                                            " dropped of " + std::to_string(added_.size()));
        if (a_.Dropped() == 0) {
            Bytes joined;
            for (const Bytes &c : chunks_) joined.insert(joined.end(), c.begin(), c.end());
            FUZZ_CHECK(joined == added_, "bytes reordered or changed");
        }
        // A frame between two pauses goes whole: the next read came a silence later, or none did.
        for (std::size_t k = 0; k < marked_.size(); ++k) {
            const Marked &m = marked_[k];
            bool pauseAfter = m.read + 1 == reads_.size() || reads_[m.read + 1] >= reads_[m.read] + silence_;
            if (!m.pauseBefore || !pauseAfter) continue;
            std::size_t wanted = 0, found = 0;
            for (const Marked &o : marked_) wanted += o.frame == m.frame && o.pauseBefore;
            for (const Bytes &c : chunks_) found += c == m.frame;
            FUZZ_CHECK(found >= std::min<std::size_t>(wanted, 1), "frame not whole on its own: " + Hex(m.frame));
        }
    }

private:
    std::uint64_t silence_;
    quorvel::WriteAssembler a_;
    std::uint64_t now_ = 0, lastAdd_ = 0;
    Bytes added_;
    std::vector<std::uint64_t> reads_;  // time of every read
    std::vector<Bytes> chunks_;
    std::vector<Marked> marked_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    Harness h(1000 + std::uint64_t(in.Byte()) * 50);
    while (!in.Empty()) {
        switch (in.Byte() % 7) {
        case 0:  // a read of any bytes, a moment after the last
            h.Advance(in.Byte() % (h.Silence() / 100) * 100 / 2);
            h.Add(in.Take(in.Byte()));
            break;
        case 1:  // the line quiet for at least the silence
            h.Advance(h.Silence() + std::uint64_t(in.Byte()) * 1000);
            break;
        case 2: {  // a whole RTU frame in one read
            Bytes content = {in.Byte(), in.Byte()};
            Bytes more = in.Take(in.Byte() % 32);
            content.insert(content.end(), more.begin(), more.end());
            Bytes frame = RtuFrame(content);
            h.AddFrame(frame, Distinguishable(frame));
            break;
        }
        case 3: {  // a whole ASCII frame in one read
            std::uint8_t how = in.Byte();
            Bytes content = {in.Byte()};
            Bytes more = in.Take(how % 32);
            content.insert(content.end(), more.begin(), more.end());
            h.AddFrame(AsciiFrame(content, how & 0x80), true);
            break;
        }
        case 4: {  // a writer that does not pause: kilobytes of a pattern, 4 KB per read
            std::size_t total = (std::size_t(in.Byte()) + 1) * 1024;
            Bytes pattern = in.Take(in.Byte() % 16 + 1);
            if (pattern.empty()) pattern = {0};
            Bytes block;
            while (block.size() < 4096) block.insert(block.end(), pattern.begin(), pattern.end());
            block.resize(4096);
            for (std::size_t done = 0; done < total; done += block.size()) {
                h.Advance(100);
                h.Add(block);
            }
            break;
        }
        case 5:  // the bridge looks in without new bytes
            h.Advance(std::uint64_t(in.Byte()) * 100);
            h.Take(h.Now());
            break;
        default:  // the program closed: what is held goes
            h.Flush();
            break;
        }
    }
    h.Finish();
    EndInput();
    return 0;
}
