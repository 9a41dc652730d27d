// The multipart/form-data reader of the upload roles: the one "filedata"
// part of the body, and the session key sent in a "k" part before it.
#pragma once
#include <cstddef>

inline constexpr long UPLOAD_MAX_LENGTH = 5242880;

// Reads the body from descriptor fd (standard input for the upload roles).
// Returns the length of the file data, with *data set to a heap buffer
// (CONTENT_LENGTH + 1 bytes, freed by the caller with free()) holding it from
// its start; -1 on failure with errno 400 (not a well-formed upload) or 500
// (no memory). A "k" part before the file part adds the parameter k.
long upload_read_file(const char *content_type, const char *content_length, char **data,
                      int fd = 0);

// Over the bytes after a delimiter: where the file data begins, or null.
const char *upload_part_headers(const char *p, size_t n);

bool upload_is_jpeg(const char *data, size_t length);
bool upload_is_png(const char *data, size_t length);
bool upload_is_gif(const char *data, size_t length);
bool upload_is_sqlite(const char *data, size_t length);
