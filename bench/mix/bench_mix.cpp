// Mixing two 10-minute tracks into meeting.m4a, the second starting 3 s later, against the
// ffmpeg command line doing the same mix (delay, plain sum, AAC at 128 kb/s) in the same run.
// Each mix runs in a child process, so that its peak resident memory is its own.
//   bench_mix [minutes] [runs]

#include "recorder/mixer.h"

#include <QFile>
#include <QTemporaryDir>

#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;

// A meeting-like track: tones under noise, written a second at a time.
bool writeTrack(const QString &path, int seconds, double frequency, unsigned seed)
{
    SF_INFO info = {};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> second(2 * kRate);
    bool ok = true;
    for (int s = 0; s < seconds && ok; ++s) {
        for (int i = 0; i < kRate; ++i) {
            const double t = s + static_cast<double>(i) / kRate;
            const double tone = 0.2 * std::sin(2 * std::numbers::pi * frequency * t) +
                                0.1 * std::sin(2 * std::numbers::pi * frequency * 1.5 * t) *
                                    std::sin(2 * std::numbers::pi * 0.3 * t);
            second[2 * static_cast<std::size_t>(i)] = static_cast<float>(tone) + noise(random);
            second[2 * static_cast<std::size_t>(i) + 1] = static_cast<float>(tone) + noise(random);
        }
        ok = sf_writef_float(file, second.data(), kRate) == kRate;
    }
    return sf_close(file) == 0 && ok;
}

struct Run
{
    double seconds = -1;
    double peakMb = 0;
    // User and system time: steadier than the wall clock on a shared machine.
    double cpuSeconds = 0;
};

double seconds(const timeval &time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Waits for a child; its peak RSS and CPU time, or a failed run.
Run reap(pid_t child)
{
    int status = 0;
    rusage usage = {};
    if (child <= 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {};
    return {0, static_cast<double>(usage.ru_maxrss) / 1024.0, // kilobytes on Linux
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// The project's mix in a child: the wall time the child measured, and its peak RSS.
Run mixInChild(const QString &a, const QString &b, const QString &output)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        bool ok = true;
        const auto start = Clock::now();
        try {
            quorvale::mixTracks({{a, 1000.0}, {b, 1003.0}}, output);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "mix failed: %s\n", error.what());
            ok = false;
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const bool sent = write(pipeEnds[1], &wall, sizeof wall) == sizeof wall;
        _exit(ok && sent ? 0 : 1);
    }
    close(pipeEnds[1]);
    double wall = -1;
    const bool received = child > 0 && read(pipeEnds[0], &wall, sizeof wall) == sizeof wall;
    close(pipeEnds[0]);
    Run run = reap(child);
    if (!received)
        return {};
    run.seconds = run.peakMb > 0 ? wall : -1;
    return run;
}

// The peer, timed by this process from its fork to its exit.
Run ffmpegInChild(const QString &a, const QString &b, const QString &output)
{
    const std::string first = QFile::encodeName(a).toStdString();
    const std::string second = QFile::encodeName(b).toStdString();
    const std::string out = QFile::encodeName(output).toStdString();
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execlp("ffmpeg", "ffmpeg", "-v", "error", "-nostdin", "-y", "-i", first.c_str(), "-i",
               second.c_str(), "-filter_complex",
               "[1]adelay=3000|3000[b];[0][b]amix=inputs=2:duration=longest:normalize=0", "-c:a",
               "aac", "-b:a", "128k", out.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    Run run = reap(child);
    if (run.peakMb > 0)
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

// The duration ffprobe reads from a file, in seconds; -1 if it cannot.
double duration(const QString &path)
{
    const std::string command = "ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                QFile::encodeName(path).toStdString() + "'";
    FILE *probe = popen(command.c_str(), "r");
    double seconds = -1;
    if (probe && std::fscanf(probe, "%lf", &seconds) != 1)
        seconds = -1;
    if (probe)
        pclose(probe);
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double fileMb(const QString &path)
{
    return static_cast<double>(QFile(path).size()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.caf"));
    const QString b = dir.filePath(QStringLiteral("b.caf"));
    if (!dir.isValid() || !writeTrack(a, minutes * 60, 440, 1) ||
        !writeTrack(b, minutes * 60, 660, 2)) {
        std::printf("error: cannot write the tracks in %s\n", qPrintable(dir.path()));
        return 1;
    }
    std::printf("two %d-minute stereo 48 kHz float tracks, the second 3 s later; %d runs\n",
                minutes, runs);

    std::vector<double> ours, theirs, ourPeaks, theirPeaks, ourCpu, theirCpu;
    for (int i = 0; i < runs; ++i) {
        const QString mixed = dir.filePath(QStringLiteral("mix%1.m4a").arg(i));
        const QString peer = dir.filePath(QStringLiteral("ffmpeg%1.m4a").arg(i));
        const Run mix = mixInChild(a, b, mixed);
        const Run ffmpeg = ffmpegInChild(a, b, peer);
        if (mix.seconds < 0 || ffmpeg.seconds < 0) {
            std::printf("error: run %d failed (mix %s, ffmpeg %s)\n", i,
                        mix.seconds < 0 ? "failed" : "ok", ffmpeg.seconds < 0 ? "failed" : "ok");
            return 1;
        }
        std::printf("run %d: mix %.2f s (cpu %.2f s), %.1f MB peak, %.2f MB file; "
                    "ffmpeg %.2f s (cpu %.2f s), %.1f MB peak, %.2f MB file\n",
                    i, mix.seconds, mix.cpuSeconds, mix.peakMb, fileMb(mixed), ffmpeg.seconds,
                    ffmpeg.cpuSeconds, ffmpeg.peakMb, fileMb(peer));
        if (i == 0)
            std::printf("durations: mix %.3f s, ffmpeg %.3f s\n", duration(mixed), duration(peer));
        std::fflush(stdout);
        ours.push_back(mix.seconds);
        ourPeaks.push_back(mix.peakMb);
        theirs.push_back(ffmpeg.seconds);
        theirPeaks.push_back(ffmpeg.peakMb);
        ourCpu.push_back(mix.cpuSeconds);
        theirCpu.push_back(ffmpeg.cpuSeconds);
        QFile::remove(mixed);
        QFile::remove(peer);
    }

    const double mixS = median(ours);
    const double ffmpegS = median(theirs);
    std::printf("median cpu: mix %.2f s, ffmpeg %.2f s (ratio %.2f); ffmpeg peak RSS %.1f MB\n",
                median(ourCpu), median(theirCpu), median(ourCpu) / median(theirCpu),
                *std::max_element(theirPeaks.begin(), theirPeaks.end()));
    std::printf("RESULT mix_s=%.2f ffmpeg_s=%.2f ratio=%.2f peak_rss_mb=%.1f\n", mixS, ffmpegS,
                mixS / ffmpegS, *std::max_element(ourPeaks.begin(), ourPeaks.end()));
    return 0;
}
