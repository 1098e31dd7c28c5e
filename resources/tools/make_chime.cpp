// Build-time tool: synthesizes the end-of-scan sound, a short two-tone chime (A5 then E6, each a
// softly struck tone with two overtones and an exponential decay), and writes it as an AIFF file:
// 16-bit big-endian PCM, mono, 44.1 kHz, 0.9 seconds.
//
//   make_chime OUTPUT.aif
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int sampleRate = 44100;
constexpr double duration = 0.9;

void put16(std::vector<unsigned char>& out, uint32_t value)
{
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

void put32(std::vector<unsigned char>& out, uint32_t value)
{
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

// One struck tone starting at `start` seconds: a 4 ms attack, then a decay of `decay` per second.
double tone(double t, double start, double frequency, double decay)
{
    const double local = t - start;
    if (local < 0)
        return 0;
    constexpr double twoPi = 6.283185307179586;
    const double envelope = std::min(1.0, local / 0.004) * std::exp(-decay * local);
    return envelope * (std::sin(twoPi * frequency * local) + 0.3 * std::sin(twoPi * 2 * frequency * local) +
                       0.08 * std::sin(twoPi * 3 * frequency * local));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_chime OUTPUT.aif\n");
        return 1;
    }
    const int frames = int(duration * sampleRate);
    std::vector<double> samples(size_t(frames), 0.0);
    double peak = 0;
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / sampleRate;
        double value = tone(t, 0.0, 880.0, 6.0) + 0.9 * tone(t, 0.16, 1318.51, 4.5);
        const double tail = (duration - t) / 0.06; // fade the last 60 ms to silence: no click
        if (tail < 1)
            value *= std::max(0.0, tail);
        samples[size_t(i)] = value;
        peak = std::max(peak, std::fabs(value));
    }
    const double scale = peak > 0 ? 0.6 * 32767 / peak : 0;

    std::vector<unsigned char> sound;
    const uint32_t soundBytes = uint32_t(frames) * 2;
    sound.insert(sound.end(), {'F', 'O', 'R', 'M'});
    put32(sound, 4 + (8 + 18) + (8 + 8 + soundBytes));
    sound.insert(sound.end(), {'A', 'I', 'F', 'F', 'C', 'O', 'M', 'M'});
    put32(sound, 18);
    put16(sound, 1);                // channels
    put32(sound, uint32_t(frames)); // sample frames
    put16(sound, 16);               // bits per sample
    // 44100 as an 80-bit IEEE extended number: exponent 16383 + 15, mantissa 44100 << 48.
    sound.insert(sound.end(), {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0});
    sound.insert(sound.end(), {'S', 'S', 'N', 'D'});
    put32(sound, 8 + soundBytes);
    put32(sound, 0); // offset
    put32(sound, 0); // block size
    for (double value : samples)
        put16(sound, uint32_t(uint16_t(int16_t(std::lround(value * scale)))));

    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file || std::fwrite(sound.data(), 1, sound.size(), file) != sound.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "make_chime: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
