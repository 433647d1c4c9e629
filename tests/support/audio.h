#pragma once

// Audio files made and checked with the real tools: sox writes test tones, ffmpeg decodes,
// ffprobe describes, and one tone detector finds where a frequency sounds and how loud.

#include <QList>
#include <QString>

namespace quorvale::test {

// A stereo 48 kHz WAV: silence, then a sine tone of the frequency at -6 dB, then silence.
bool makeTone(const QString &file, double silenceBefore, double toneSeconds, int frequency,
              double silenceAfter);

// Any file ffmpeg reads, as 48 kHz float samples per channel (a mono file in both).
struct Decoded
{
    QList<float> left, right;
    double seconds() const { return double(left.size()) / 48000; }
};
Decoded decode(const QString &file);

// Where a sine of the frequency sounds: onset in seconds from the start (negative when it never
// sounds) and its peak amplitude.
struct Tone
{
    double onset = -1;
    double level = 0;
};
Tone findTone(const QList<float> &samples, int frequency);

// What ffprobe reports of a file with one audio stream; all empty when it has not exactly one.
struct Probe
{
    QString codec;
    QString container; // ffprobe's format name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    QString brand;     // the MP4 major brand, e.g. "M4A "
    double duration = 0;
    int sampleRate = 0;
    int channels = 0;
};
Probe probe(const QString &file);

} // namespace quorvale::test
