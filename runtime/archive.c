/* Opening an archive: the header and directory checked once, then entries by index or name. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "internal.h"

#define HEADER_BYTES 12
#define ENTRY_BYTES 28
#define NAME_BYTES 16

struct kiv_entry {
    long flags;
    size_t offset;
    size_t length;
    char name[NAME_BYTES];
};

struct kiv_archive {
    const unsigned char* bytes;
    size_t size;
    unsigned char* owned; /* the bytes, when the archive read them itself */
    int count;
    struct kiv_entry* entries;
};

int kiv_fail(kiv_status* status, int code, const char* format, ...) {
    if (status != NULL) {
        va_list args;
        va_start(args, format);
        status->code = code;
        vsnprintf(status->message, sizeof status->message, format, args);
        va_end(args);
    }
    return code;
}

int kiv_succeed(kiv_status* status) {
    if (status != NULL) {
        status->code = KIV_OK;
        status->message[0] = '\0';
    }
    return KIV_OK;
}

/* The entry's name as a terminal may show it: other bytes than printable ASCII as '?'. */
static void shown_name(const unsigned char* field, char out[NAME_BYTES]) {
    size_t i;
    for (i = 0; i + 1 < NAME_BYTES && field[i] != 0; ++i) {
        out[i] = field[i] >= 32 && field[i] < 127 ? (char)field[i] : '?';
    }
    out[i] = '\0';
}

static kiv_archive* parse(const unsigned char* bytes, size_t size, unsigned char* owned,
                          kiv_status* status) {
    static const unsigned char magic[8] = {'K', 'I', 'V', '2', '.', '0', 0, 0};
    kiv_archive* archive;
    long count;
    size_t directory_end, i;
    if (size < HEADER_BYTES) {
        kiv_fail(status, KIV_ERROR_FORMAT, "%lu bytes: shorter than an archive's header of 12",
                 (unsigned long)size);
        goto refused;
    }
    if (memcmp(bytes, magic, sizeof magic) != 0) {
        kiv_fail(status, KIV_ERROR_FORMAT, "not a KIV2.0 archive (wrong magic)");
        goto refused;
    }
    count = kiv_le32(bytes + 8);
    if (count < 0) {
        kiv_fail(status, KIV_ERROR_FORMAT, "negative entry count %ld", count);
        goto refused;
    }
    if ((size_t)count > (size - HEADER_BYTES) / ENTRY_BYTES) {
        kiv_fail(status, KIV_ERROR_FORMAT,
                 "a directory of %ld entries reaches past the end of the %lu-byte file", count,
                 (unsigned long)size);
        goto refused;
    }
    directory_end = HEADER_BYTES + (size_t)count * ENTRY_BYTES;
    archive = (kiv_archive*)calloc(1, sizeof *archive);
    if (archive == NULL) {
        kiv_fail(status, KIV_ERROR_MEMORY, "not enough memory for the archive");
        goto refused;
    }
    archive->entries =
        (struct kiv_entry*)calloc(count > 0 ? (size_t)count : 1, sizeof *archive->entries);
    if (archive->entries == NULL) {
        free(archive);
        kiv_fail(status, KIV_ERROR_MEMORY, "not enough memory for %ld entries", count);
        goto refused;
    }
    archive->bytes = bytes;
    archive->size = size;
    archive->owned = owned;
    archive->count = (int)count;
    for (i = 0; i < (size_t)count; ++i) {
        const unsigned char* at = bytes + HEADER_BYTES + i * ENTRY_BYTES;
        struct kiv_entry* e = &archive->entries[i];
        const long offset = kiv_le32(at + 4), length = kiv_le32(at + 8);
        char name[NAME_BYTES];
        shown_name(at + 12, name);
        e->flags = kiv_le32(at);
        if (memchr(at + 12, 0, NAME_BYTES) == NULL) {
            kiv_fail(status, KIV_ERROR_FORMAT, "entry %lu (%s): name is not zero-terminated",
                     (unsigned long)i + 1, name);
            goto damaged;
        }
        memcpy(e->name, at + 12, NAME_BYTES);
        if (length < 0) {
            kiv_fail(status, KIV_ERROR_FORMAT, "entry %lu (%s): negative length %ld",
                     (unsigned long)i + 1, name, length);
            goto damaged;
        }
        if (length > 0 &&
            (offset < 0 || (size_t)offset > size || (size_t)length > size - (size_t)offset)) {
            kiv_fail(status, KIV_ERROR_FORMAT,
                     "entry %lu (%s): data at %ld + %ld lies outside the %lu-byte file",
                     (unsigned long)i + 1, name, offset, length, (unsigned long)size);
            goto damaged;
        }
        if (length > 0 && (size_t)offset < directory_end) {
            kiv_fail(status, KIV_ERROR_FORMAT,
                     "entry %lu (%s): its data starts at %ld, inside the header and directory, "
                     "which end at %lu",
                     (unsigned long)i + 1, name, offset, (unsigned long)directory_end);
            goto damaged;
        }
        if (length == 0 && (offset < 0 || (size_t)offset > size)) {
            kiv_fail(status, KIV_ERROR_FORMAT,
                     "entry %lu (%s): a zero-length entry at offset %ld, outside the %lu-byte "
                     "file",
                     (unsigned long)i + 1, name, offset, (unsigned long)size);
            goto damaged;
        }
        e->offset = length > 0 ? (size_t)offset : 0;
        e->length = (size_t)length;
    }
    kiv_succeed(status);
    return archive;
damaged:
    archive->owned = NULL;
    kiv_close(archive);
refused:
    free(owned);
    return NULL;
}

kiv_archive* kiv_open_memory(const void* bytes, size_t size, kiv_status* status) {
    if (bytes == NULL && size > 0) {
        kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes given");
        return NULL;
    }
    return parse((const unsigned char*)bytes, size, NULL, status);
}

struct file_source {
    FILE* file;
};

static int read_file(void* context, size_t offset, void* out, size_t length) {
    FILE* file = ((struct file_source*)context)->file;
    (void)offset; /* read in order from the start */
    return fread(out, 1, length, file) == length ? 0 : 1;
}

kiv_archive* kiv_open_file(const char* path, kiv_status* status) {
    struct file_source source;
    long end;
    kiv_archive* archive;
    if (path == NULL) {
        kiv_fail(status, KIV_ERROR_ARGUMENT, "no path given");
        return NULL;
    }
    source.file = fopen(path, "rb");
    if (source.file == NULL) {
        kiv_fail(status, KIV_ERROR_FILE, "%s: cannot be opened", path);
        return NULL;
    }
    if (fseek(source.file, 0, SEEK_END) != 0 || (end = ftell(source.file)) < 0 ||
        fseek(source.file, 0, SEEK_SET) != 0) {
        fclose(source.file);
        kiv_fail(status, KIV_ERROR_FILE, "%s: its size cannot be had", path);
        return NULL;
    }
    archive = kiv_open_reader(read_file, &source, (size_t)end, status);
    fclose(source.file);
    return archive;
}

kiv_archive* kiv_open_reader(kiv_read_function read, void* context, size_t size,
                             kiv_status* status) {
    unsigned char* owned;
    size_t done = 0;
    if (read == NULL) {
        kiv_fail(status, KIV_ERROR_ARGUMENT, "no read function given");
        return NULL;
    }
    owned = (unsigned char*)malloc(size > 0 ? size : 1);
    if (owned == NULL) {
        kiv_fail(status, KIV_ERROR_MEMORY, "not enough memory for the %lu-byte archive",
                 (unsigned long)size);
        return NULL;
    }
    /* In pieces, so that an engine's reader need not take the whole at once. */
    while (done < size) {
        const size_t piece = size - done < 1048576 ? size - done : 1048576;
        if (read(context, done, owned + done, piece) != 0) {
            free(owned);
            kiv_fail(status, KIV_ERROR_FILE, "reading %lu bytes at %lu failed",
                     (unsigned long)piece, (unsigned long)done);
            return NULL;
        }
        done += piece;
    }
    return parse(owned, size, owned, status);
}

void kiv_close(kiv_archive* archive) {
    if (archive == NULL) return;
    free(archive->entries);
    free(archive->owned);
    free(archive);
}

int kiv_count(const kiv_archive* archive) {
    return archive != NULL ? archive->count : 0;
}

static int valid(const kiv_archive* archive, int index) {
    return archive != NULL && index >= 0 && index < archive->count;
}

int kiv_find(const kiv_archive* archive, const char* name) {
    int i;
    if (archive == NULL || name == NULL || strlen(name) >= NAME_BYTES) return -1;
    for (i = 0; i < archive->count; ++i) {
        if (strcmp(archive->entries[i].name, name) == 0) return i;
    }
    return -1;
}

const unsigned char* kiv_item(const kiv_archive* archive, int index, size_t* size) {
    if (size != NULL) *size = 0;
    if (!valid(archive, index) || archive->entries[index].length == 0) return NULL;
    if (size != NULL) *size = archive->entries[index].length;
    return archive->bytes + archive->entries[index].offset;
}

const char* kiv_name(const kiv_archive* archive, int index) {
    return valid(archive, index) ? archive->entries[index].name : "";
}

long kiv_flags(const kiv_archive* archive, int index) {
    return valid(archive, index) ? archive->entries[index].flags : 0;
}

int kiv_is_label(const kiv_archive* archive, int index) {
    size_t n;
    if (!valid(archive, index) || archive->entries[index].length != 0) return 0;
    n = strlen(archive->entries[index].name);
    return n > 0 && archive->entries[index].name[n - 1] == ':';
}

int kiv_group(const kiv_archive* archive, const char* label, int* first) {
    int i, start = -1;
    if (archive == NULL || label == NULL) return -1;
    for (i = 0; i < archive->count && start < 0; ++i) {
        if (kiv_is_label(archive, i) && strcmp(archive->entries[i].name, label) == 0) start = i + 1;
    }
    if (start < 0) return -1;
    for (i = start; i < archive->count && !kiv_is_label(archive, i); ++i) {
    }
    if (first != NULL) *first = start;
    return i - start;
}

/* The entry's bytes for a view, or the status saying why there are none. */
const unsigned char* kiv_entry_bytes(const kiv_archive* archive, int index, size_t* size,
                                     kiv_status* status) {
    if (!valid(archive, index)) {
        kiv_fail(status, KIV_ERROR_ARGUMENT, "no entry %d (the archive has %d)", index + 1,
                 kiv_count(archive));
        return NULL;
    }
    *size = archive->entries[index].length;
    return archive->bytes + archive->entries[index].offset;
}
