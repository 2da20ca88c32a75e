/* A plain reference Intel HEX to flat image converter for the benchmark:
 * what a careful C programmer writes in an afternoon, for comparing fwimage
 * with. Two streaming passes over the file like fwimage's (extent, then data),
 * hexadecimal pairs decoded sixteen at a time with SSE2, and an image buffer
 * that asks for transparent huge pages. Lines end at LF or CR LF (found
 * sixteen characters at a time with SSE2). Records 00, 02 and 04; other
 * types, checksums and lines not starting with ':' are ignored; gaps hold 0xFF.
 *
 *   refconv IN.hex OUT.bin
 *
 * Exits 1 with a message on bad input: a truncated record, a character that
 * is not a hexadecimal digit, a record past address FFFFFFFF.
 */
#define _GNU_SOURCE
#include <emmintrin.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { BLOCK = 1 << 20 };

static const char* in_name;

static void fail(const char* what, uint64_t line) {
    fprintf(stderr, "refconv: %s: line %llu: %s\n", in_name, (unsigned long long)line, what);
    exit(1);
}

/* Digit values; 0x10 marks a character that is not a hexadecimal digit. */
static uint8_t digit_value[256];

static void init_digits(void) {
    memset(digit_value, 0x10, sizeof digit_value);
    for (int i = 0; i < 10; ++i) digit_value['0' + i] = (uint8_t)i;
    for (int i = 0; i < 6; ++i) digit_value['a' + i] = digit_value['A' + i] = (uint8_t)(10 + i);
}

static uint32_t field(const char* p, int n, uint64_t line) {
    uint32_t v = 0, bad = 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t d = digit_value[(uint8_t)p[i]];
        bad |= d;
        v = v << 4 | (d & 0xF);
    }
    if (bad & 0x10) fail("not a hexadecimal digit", line);
    return v;
}

/* 32 characters to 16 bytes; 0 when any is not a hexadecimal digit. */
static int decode16(const char* in, uint8_t* out) {
    __m128i r[2];
    for (int h = 0; h < 2; ++h) {
        const __m128i v = _mm_loadu_si128((const __m128i*)(in + 16 * h));
        const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        const __m128i is_d = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
        const __m128i l = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
        const __m128i is_l = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(5)), l);
        if (_mm_movemask_epi8(_mm_or_si128(is_d, is_l)) != 0xFFFF) return 0;
        const __m128i nib =
            _mm_or_si128(_mm_and_si128(is_d, d), _mm_and_si128(is_l, _mm_add_epi8(l, _mm_set1_epi8(10))));
        r[h] =
            _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nib, _mm_set1_epi16(0xFF)), 4), _mm_srli_epi16(nib, 8));
    }
    _mm_storeu_si128((__m128i*)out, _mm_packus_epi16(r[0], r[1]));
    return 1;
}

struct pass {
    uint8_t* image; /* NULL in the first pass */
    uint32_t base;
    uint32_t first;
    uint64_t end;
    uint64_t length;
    int any;
};

static void record(struct pass* p, const char* s, size_t n, uint64_t line) {
    if (n == 0 || s[0] != ':') return;
    if (n < 9) fail("truncated record", line);
    const uint32_t count = field(s + 1, 2, line);
    const uint32_t type = field(s + 7, 2, line);
    if (type == 0) {
        const uint32_t start = p->base + field(s + 3, 4, line);
        const uint64_t end = (uint64_t)start + count;
        if (n < 9 + 2 * (size_t)count) fail("truncated record", line);
        if (end > (uint64_t)1 << 32) fail("record past address FFFFFFFF", line);
        if (!p->image) {
            if (!p->any || start < p->first) p->first = start;
            if (end > p->end) p->end = end;
            p->any = 1;
            return;
        }
        if (start < p->first || end - p->first > p->length) fail("record outside the image", line);
        uint8_t* out = p->image + (start - p->first);
        const char* d = s + 9;
        uint32_t j = 0;
        for (; j + 16 <= count && decode16(d, out + j); j += 16, d += 32) {
        }
        for (; j < count; ++j, d += 2) out[j] = (uint8_t)field(d, 2, line);
    } else if (type == 2 || type == 4) {
        if (n < 13) fail("truncated record", line);
        p->base = field(s + 9, 4, line) << (type == 2 ? 4 : 16);
    }
}

/* Reads the file in blocks and hands each line to record(). */
static void run_pass(struct pass* p, char* buf) {
    const int fd = open(in_name, O_RDONLY);
    if (fd < 0) {
        perror(in_name);
        exit(1);
    }
    size_t have = 0;
    uint64_t line = 0;
    int eof = 0;
    while (!eof) {
        const ssize_t got = read(fd, buf + have, BLOCK - have);
        if (got < 0) {
            perror(in_name);
            exit(1);
        }
        if (got == 0) eof = 1;
        have += (size_t)got;
        char* s = buf;
        char* const end = buf + have;
        const __m128i lf = _mm_set1_epi8('\n');
        char* q = buf;
        for (; q + 16 <= end; q += 16) {
            unsigned mask =
                (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i*)q), lf));
            for (; mask != 0; mask &= mask - 1) {
                char* const nl = q + __builtin_ctz(mask);
                char* e = nl;
                if (e > s && e[-1] == '\r') --e;
                record(p, s, (size_t)(e - s), ++line);
                s = nl + 1;
            }
        }
        for (; q < end; ++q) {
            if (*q != '\n') continue;
            char* e = q;
            if (e > s && e[-1] == '\r') --e;
            record(p, s, (size_t)(e - s), ++line);
            s = q + 1;
        }
        if (eof && s < end) {
            char* e = end;
            if (e[-1] == '\r') --e;
            record(p, s, (size_t)(e - s), ++line);
            s = end;
        }
        have = (size_t)(end - s);
        if (have == BLOCK) fail("line longer than the read block", line + 1);
        memmove(buf, s, have);
    }
    close(fd);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: refconv IN.hex OUT.bin\n", stderr);
        return 2;
    }
    in_name = argv[1];
    init_digits();
    char* buf = malloc(BLOCK + 32);
    if (!buf) return 1;

    struct pass p = {0};
    run_pass(&p, buf);
    p.length = p.any ? p.end - p.first : 0;

    uint8_t* image = NULL;
    if (p.length > 0) {
        image = mmap(NULL, p.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (image == MAP_FAILED) {
            perror("mmap");
            return 1;
        }
        madvise(image, p.length, MADV_HUGEPAGE);
        memset(image, 0xFF, p.length);
        p.image = image;
        p.base = 0;
        run_pass(&p, buf);
    }

    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        perror(argv[2]);
        return 1;
    }
    for (uint64_t done = 0; done < p.length;) {
        const ssize_t n = write(out, image + done, p.length - done);
        if (n <= 0) {
            perror(argv[2]);
            return 1;
        }
        done += (uint64_t)n;
    }
    if (close(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    return 0;
}
