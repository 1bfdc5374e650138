/* CRCs that format checks verify: zlib CRC-32 (PNG), the Ogg page CRC and
 * FLAC's frame CRC-8 and CRC-16. */
#include "sennet_i.h"

namespace {

struct Tables {
    uint32_t zlib[256];
    uint32_t ogg[256];
    uint16_t flac16[256];
    uint8_t flac8[256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            zlib[i] = c;
            uint32_t o = i << 24;
            for (int k = 0; k < 8; k++)
                o = (o & 0x80000000u) ? (o << 1) ^ 0x04C11DB7u : o << 1;
            ogg[i] = o;
            uint16_t f = (uint16_t)(i << 8);
            for (int k = 0; k < 8; k++)
                f = (f & 0x8000) ? (uint16_t)((f << 1) ^ 0x8005) : (uint16_t)(f << 1);
            flac16[i] = f;
            uint8_t e = (uint8_t)i;
            for (int k = 0; k < 8; k++)
                e = (e & 0x80) ? (uint8_t)((e << 1) ^ 0x07) : (uint8_t)(e << 1);
            flac8[i] = e;
        }
    }
};

const Tables &tables()
{
    static const Tables t;
    return t;
}

}  // namespace

uint32_t sn_crc32(uint32_t crc, const uint8_t *p, size_t n)
{
    const uint32_t *t = tables().zlib;
    crc = ~crc;
    while (n--)
        crc = t[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t sn_crc32_ogg(uint32_t crc, const uint8_t *p, size_t n)
{
    const uint32_t *t = tables().ogg;
    while (n--)
        crc = (crc << 8) ^ t[((crc >> 24) ^ *p++) & 0xFF];
    return crc;
}

uint16_t sn_crc16_flac(uint16_t crc, const uint8_t *p, size_t n)
{
    const uint16_t *t = tables().flac16;
    while (n--)
        crc = (uint16_t)((crc << 8) ^ t[((crc >> 8) ^ *p++) & 0xFF]);
    return crc;
}

uint8_t sn_crc8_flac(const uint8_t *p, size_t n)
{
    const uint8_t *t = tables().flac8;
    uint8_t crc = 0;
    while (n--)
        crc = t[crc ^ *p++];
    return crc;
}
