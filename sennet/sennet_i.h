/*
 * libsennet internals: format descriptors, the byte source that format
 * checks read through, the format registry and small shared helpers.
 */
#ifndef SENNET_I_H
#define SENNET_I_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "merrow.h"
#include "sv_bytes.h"

#define SN_SECTOR 512u
#define SN_KiB (1024ull)
#define SN_MiB (1024ull * 1024ull)
#define SN_GiB (1024ull * 1024ull * 1024ull)

/* Bytes after a candidate start that a header check may look at (fewer at
 * the end of the range). */
#define SN_LOOKAHEAD (64u * 1024u)
/* Longest span one sn_get call can return. */
#define SN_GET_MAX (256u * 1024u)

/* Result of a file check. */
typedef enum sn_status {
    SN_OK = 0,      /* the structure checks out; hit->size is the file's length */
    SN_CORRUPT = 1, /* not a file of this format (or truncated): skip the header */
    SN_STOP = 2     /* the progress value reached 100: end the scan */
} sn_status;

/* What a header and file check learn about one candidate. */
typedef struct sn_hit {
    const char *type; /* type name reported (starts as the descriptor's name) */
    uint64_t size;    /* file length, set by the file check */
    uint64_t hint;    /* free for the format: passed from header to file check */
} sn_hit;

/* How the walk from one ZIP local entry (or central directory) ended:
 * the absolute offset after it, the entries from there on, the kinds their
 * names showed and the status.  The scan keeps one memo of them per pass
 * (fmt_zip.cpp); sources without one walk everything each time. */
typedef struct sn_zip_chain {
    uint64_t end;
    uint32_t left;
    uint8_t kind;
    uint8_t status;
} sn_zip_chain;
typedef struct sn_zip_memo sn_zip_memo;
sn_zip_memo *sn_zip_memo_new(void);
void sn_zip_memo_free(sn_zip_memo *m);
bool sn_zip_memo_find(sn_zip_memo *m, uint64_t abs, sn_zip_chain *out);
bool sn_zip_memo_find_cd(sn_zip_memo *m, uint64_t abs, sn_zip_chain *out);
#ifdef __cplusplus
void sn_zip_memo_add(sn_zip_memo *m, uint64_t abs, const sn_zip_chain &c);
void sn_zip_memo_add_cd(sn_zip_memo *m, uint64_t abs, const sn_zip_chain &c);
#endif

/*
 * The bytes of one candidate file, addressed from its first byte.  Reads
 * come from the scan window when they fall inside it and otherwise from the
 * device through a private cache, never past `limit` (the end of the
 * scanned range or the format's maximum size, whichever is nearer).
 */
typedef struct sn_src {
    uint64_t start;        /* absolute offset of the file in the scanned range */
    uint64_t limit;        /* bytes that may be read from start */
    const uint8_t *win;    /* scan window (may be NULL) */
    uint64_t win_abs;      /* absolute offset of win[0] */
    size_t win_len;
    Physics_Device_Struct *dev; /* NULL for memory-only sources */
    uint64_t origin;       /* device offset of absolute offset 0 */
    uint64_t range_len;    /* length of the scanned range */
    uint8_t *cache;        /* private read cache (SN_CACHE_LEN bytes) */
    uint64_t cache_abs;
    size_t cache_len;
    bool check_stop;       /* give up when the progress value reaches 100 */
    bool stopped;          /* set when a read was refused because of a stop */
    sn_zip_memo *zip_memo; /* the scan's memory of ZIP walks (may be NULL) */
    /* Instead of a device: a reader of the file's bytes by file offset (a
     * file whose place a file system knows); start 0, range_len its size. */
    int64_t (*reader)(void *ctx, uint64_t off, void *buf, uint32_t len);
    void *reader_ctx;
    uint64_t furthest;     /* end of the furthest bytes handed out */
} sn_src;

#define SN_CACHE_LEN (2u * 1024u * 1024u)

/* Source over a memory buffer holding the file at offset 0 (tests, fuzzers). */
void sn_src_mem(sn_src *s, const uint8_t *data, size_t len);
/* Pointer to len bytes at file offset off, or NULL when they are not
 * available (past the limit, read failure, stop).  len <= SN_GET_MAX.  The
 * pointer is valid until the next call. */
const uint8_t *sn_get(sn_src *s, uint64_t off, size_t len);
/* As sn_get, but returns up to `want` bytes (fewer near the limit) and their
 * count in *got; NULL when nothing is available. */
const uint8_t *sn_get_some(sn_src *s, uint64_t off, size_t want, size_t *got);
/* First occurrence of pat in [from, to) (clipped to the limit): its offset
 * in *at.  False when there is none. */
bool sn_find(sn_src *s, uint64_t from, uint64_t to, const void *pat, size_t plen, uint64_t *at);
/* Reads the source's bytes are checked against: true when available. */
static inline bool sn_avail(sn_src *s, uint64_t off, uint64_t len)
{
    return off <= s->limit && s->limit - off >= len;
}
bool sn_rd_u8(sn_src *s, uint64_t off, uint8_t *v);
bool sn_rd_le16(sn_src *s, uint64_t off, uint16_t *v);
bool sn_rd_le32(sn_src *s, uint64_t off, uint32_t *v);
bool sn_rd_le64(sn_src *s, uint64_t off, uint64_t *v);
bool sn_rd_be16(sn_src *s, uint64_t off, uint16_t *v);
bool sn_rd_be24(sn_src *s, uint64_t off, uint32_t *v);
bool sn_rd_be32(sn_src *s, uint64_t off, uint32_t *v);
bool sn_rd_be64(sn_src *s, uint64_t off, uint64_t *v);
/* True when file offset off lies on a sector boundary of the scanned range. */
static inline bool sn_on_sector(const sn_src *s, uint64_t off)
{
    return ((s->start + off) % SN_SECTOR) == 0;
}
/* Status for a failed read: SN_STOP when a stop caused it, else SN_CORRUPT. */
static inline sn_status sn_fail(const sn_src *s)
{
    return s->stopped ? SN_STOP : SN_CORRUPT;
}

/*
 * One carving format: a constant descriptor.  `magic` must match at
 * `magic_off`; `first_byte` is the byte every candidate starts with (the
 * scan dispatches on it).  `header` tests the first bytes (a view of up to
 * SN_LOOKAHEAD bytes); `file_end` walks the structure and sets hit->size
 * (and may refine hit->type).  Files longer than `max_size` are not
 * reported.
 */
typedef struct sn_format {
    const char *name;
    const char *const *types; /* every type name it can report, NULL-terminated */
    uint8_t magic[16];
    uint8_t magic_len;
    uint8_t magic_off;
    uint8_t first_byte;
    uint64_t max_size;
    bool (*header)(sv_view head, sn_hit *hit);
    sn_status (*file_end)(sn_src *src, sn_hit *hit);
} sn_format;

/* Descriptors, one per signature, listed once in formats.def. */
#define SN_FORMAT(id) extern const sn_format sn_fmt_##id;
#include "formats.def"
#undef SN_FORMAT

/* Every descriptor, in registry order; count in *n. */
const sn_format *const *sn_formats(size_t *n);
/* First byte dispatch: the descriptors whose candidates start with byte b
 * (NULL-terminated list). */
const sn_format *const *sn_dispatch(uint8_t b);
/* The formats one scan looks for: the first-byte dispatch over the chosen
 * descriptors, and the type names it reports (all those the chosen
 * descriptors can report, or the names asked for). */
#define SN_MAX_FORMATS 64u
#define SN_MAX_TYPES 64u
typedef struct sn_selection {
    const sn_format *flat[SN_MAX_FORMATS + 256];
    uint16_t start[256];
    bool every_type;                     /* no names given: report every type */
    const char *types[SN_MAX_TYPES + 1]; /* the names asked for (canonical), NULL-terminated */
    size_t nformats;                     /* descriptors chosen */
} sn_selection;
/* Chooses the descriptors that can report one of the given type names
 * (NULL-terminated; extensions in any case, "jpeg" for "jpg" and the like;
 * NULL or empty: every descriptor).  Names the engine does not know are
 * passed over, so a list of none it knows chooses nothing. */
void sn_select(const char *const *types, sn_selection *sel);
/* The chosen descriptors whose candidates start with byte b (NULL-terminated). */
static inline const sn_format *const *sn_sel_dispatch(const sn_selection *sel, uint8_t b)
{
    return &sel->flat[sel->start[b]];
}
/* True when files of this type are reported by a scan with this selection. */
bool sn_sel_reports(const sn_selection *sel, const char *type);

/* The type name as the formats report it (aliases resolved, the
 * descriptors' own spelling), or NULL when no format reports it. */
const char *sn_known_type_name(const char *type);
/* True when the format can report the (canonical) type name. */
bool sn_format_reports(const sn_format *f, const char *type);

/* Descriptor by id name ("jpeg", "png", ...) for tests; NULL when unknown. */
const sn_format *sn_format_by_name(const char *name);

/* Sennet_HeaderFits on a buffer: -1 unknown type, 0 no, 1 yes, 2 another type. */
int sn_header_fits(const char *type, const uint8_t *head, size_t len);

/* Header test of one candidate start: the first descriptor whose magic and
 * header check accept the view, or NULL. */
const sn_format *sn_probe(sv_view head, sn_hit *hit);

/*
 * Full check of the candidate at file offset 0 of src with one descriptor:
 * magic, header and file end; the size must be non-zero and within the
 * source's limit.  Used by the scan and by tests.
 */
sn_status sn_check(const sn_format *f, sn_src *src, sn_hit *hit);

/* True when a header of another file begins at file offset off of src (a
 * sector boundary): used by formats whose end is found by searching to
 * notice that their data was cut off by another file. */
bool sn_foreign_header_at(sn_src *s, uint64_t off);

/* First occurrence of pat at or after file offset from, for formats that
 * find their end by searching.  The search ends at the limit and at the
 * first sector boundary that starts a header the engine trusts: data is not
 * searched past the start of another file, and the searches of two
 * candidates of one format never cover the same bytes, which keeps a deep
 * scan linear in the medium's size however many candidates never find
 * their end.  When nothing is found *stop is where the search ended (a
 * trusted header, the limit, or a failed read). */
bool sn_find_end(sn_src *s, uint64_t from, const void *pat, size_t plen, uint64_t *at,
                 uint64_t *stop);

/* Walks a FLAC stream that starts at file offset base ("fLaC"); its end
 * in *end.  Shared by the FLAC format and ID3-tagged FLAC files. */
sn_status sn_flac_walk(sn_src *s, uint64_t base, uint64_t *end);

/* Offset after the APEv2, Lyrics3 and ID3v1 tags that start at file offset
 * at (at itself when there are none). */
uint64_t sn_trailing_tags(sn_src *s, uint64_t at);

/* CRCs used by format checks. */
uint32_t sn_crc32(uint32_t crc, const uint8_t *p, size_t n);     /* zlib/PNG */
uint32_t sn_crc32_ogg(uint32_t crc, const uint8_t *p, size_t n); /* Ogg pages */
uint16_t sn_crc16_flac(uint16_t crc, const uint8_t *p, size_t n);
uint8_t sn_crc8_flac(const uint8_t *p, size_t n);

static inline bool sn_is_alnum4(const uint8_t *p)
{
    for (int i = 0; i < 4; i++) {
        uint8_t c = p[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
              c == '_' || c == '-' || c == '(' || c == ')' || c == '.' || c == '@'))
            return false;
    }
    return true;
}

static inline bool sn_magic_at(sv_view v, size_t off, const char *m, size_t n)
{
    return sv_has(v, off, n) && memcmp(v.data + off, m, n) == 0;
}

#endif /* SENNET_I_H */
