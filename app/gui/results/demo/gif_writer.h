// A small GIF writer for made-up test and demo pictures (Qt reads GIFs but
// does not write them): four colours, every frame the full picture.
#pragma once

#include <QByteArray>
#include <QRgb>
#include <QVector>

namespace gifw {

// frames: width*height palette indexes (0..3) each; delay in 1/100 s.
inline QByteArray makeGif(int width, int height, const QVector<QRgb> &palette,
                          const QVector<QByteArray> &frames, int delayCs)
{
    QByteArray out("GIF89a");
    auto le16 = [&](int v) {
        out.append(char(v & 0xff));
        out.append(char((v >> 8) & 0xff));
    };
    le16(width);
    le16(height);
    out.append(char(0x91));  // global table of 4 colours
    out.append(char(0));
    out.append(char(0));
    for (int i = 0; i < 4; i++) {
        QRgb c = i < palette.size() ? palette[i] : 0;
        out.append(char(qRed(c)));
        out.append(char(qGreen(c)));
        out.append(char(qBlue(c)));
    }
    if (frames.size() > 1)
        out.append(QByteArray("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19));
    for (const QByteArray &frame : frames) {
        out.append(QByteArray("\x21\xf9\x04\x04", 4));
        le16(delayCs);
        out.append(char(0));
        out.append(char(0));
        out.append(char(0x2c));
        le16(0);
        le16(0);
        le16(width);
        le16(height);
        out.append(char(0));
        out.append(char(2));  // minimum code size
        // Codes of 3 bits: a clear code before every two pixels keeps the
        // code table from growing past 3-bit codes.
        QByteArray data;
        quint32 acc = 0;
        int bits = 0;
        auto put = [&](int code) {
            acc |= quint32(code) << bits;
            bits += 3;
            while (bits >= 8) {
                data.append(char(acc & 0xff));
                acc >>= 8;
                bits -= 8;
            }
        };
        for (int i = 0; i < frame.size(); i++) {
            if (i % 2 == 0)
                put(4);
            put(frame[i] & 3);
        }
        put(5);
        if (bits > 0)
            data.append(char(acc & 0xff));
        for (int pos = 0; pos < data.size(); pos += 255) {
            int n = qMin(255, int(data.size()) - pos);
            out.append(char(n));
            out.append(data.mid(pos, n));
        }
        out.append(char(0));
    }
    out.append(char(0x3b));
    return out;
}

// A frame of a square moving across: frame k of n.
inline QByteArray movingSquare(int width, int height, int k, int n)
{
    QByteArray f(width * height, char(0));
    int side = height / 2;
    int x0 = (width - side) * k / qMax(1, n - 1);
    int y0 = (height - side) / 2;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            bool in = x >= x0 && x < x0 + side && y >= y0 && y < y0 + side;
            f[y * width + x] = char(in ? 1 : (y < 4 ? 2 : 0));
        }
    return f;
}

}  // namespace gifw
