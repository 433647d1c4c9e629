#include "audio.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cmath>
#include <cstring>
#include <numbers>

namespace quorvale::test {

namespace {

constexpr int kRate = 48000;

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

} // namespace

bool makeTone(const QString &file, double silenceBefore, double toneSeconds, int frequency,
              double silenceAfter)
{
    QProcess sox;
    sox.start("sox", {"-n", "-r", QString::number(kRate), "-c", "2", "-b", "16", file, "synth",
                      QString::number(toneSeconds), "sine", QString::number(frequency), "gain",
                      "-6", "pad", QString::number(silenceBefore), QString::number(silenceAfter)});
    return sox.waitForFinished(10000) && sox.exitCode() == 0;
}

Decoded decode(const QString &file)
{
    const QByteArray bytes = run("ffmpeg", {"-v", "error", "-i", file, "-f", "f32le", "-ac", "2",
                                            "-ar", QString::number(kRate), "-"});
    const qsizetype frames = bytes.size() / qsizetype(2 * sizeof(float));
    Decoded decoded;
    decoded.left.resize(frames);
    decoded.right.resize(frames);
    for (qsizetype i = 0; i < frames; ++i) {
        float pair[2];
        std::memcpy(pair, bytes.constData() + i * qsizetype(sizeof pair), sizeof pair);
        decoded.left[i] = pair[0];
        decoded.right[i] = pair[1];
    }
    return decoded;
}

Tone findTone(const QList<float> &samples, int frequency)
{
    // Goertzel over 50 ms windows in 5 ms steps: a window holds whole periods of every test
    // frequency (multiples of 20 Hz), so one tone's level reads without leakage from another.
    constexpr qsizetype window = 2400;
    constexpr qsizetype step = 240;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / kRate);
    QList<double> levels;
    for (qsizetype begin = 0; begin + window <= samples.size(); begin += step) {
        double s1 = 0, s2 = 0;
        for (qsizetype i = begin; i < begin + window; ++i) {
            const double s0 = double(samples[i]) + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        levels.append(2 * std::sqrt(std::max(power, 0.0)) / double(window));
    }
    Tone tone;
    for (const double level : std::as_const(levels))
        tone.level = std::max(tone.level, level);
    // Quieter than -40 dB is no tone but leakage and noise.
    if (tone.level < 0.01)
        return tone;
    // The level reaches half its peak when the window is half over the tone.
    for (qsizetype i = 0; i < levels.size(); ++i) {
        if (levels[i] >= tone.level / 2) {
            tone.onset = double(i * step + window / 2) / kRate;
            break;
        }
    }
    return tone;
}

Probe probe(const QString &file)
{
    const QJsonObject root =
        QJsonDocument::fromJson(run("ffprobe", {"-v", "error", "-print_format", "json",
                                                "-show_format", "-show_streams", file}))
            .object();
    const QJsonArray streams = root[u"streams"].toArray();
    if (streams.size() != 1)
        return {};
    const QJsonObject stream = streams.first().toObject();
    const QJsonObject format = root[u"format"].toObject();
    Probe result;
    result.codec = stream[u"codec_name"].toString();
    result.container = format[u"format_name"].toString();
    result.brand = format[u"tags"].toObject()[u"major_brand"].toString();
    result.duration = format[u"duration"].toString().toDouble();
    result.sampleRate = stream[u"sample_rate"].toString().toInt();
    result.channels = stream[u"channels"].toInt();
    return result;
}

} // namespace quorvale::test
