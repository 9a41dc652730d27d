// The CGI request, read once at start into one record. Handlers read it
// from here and never from the environment.
#pragma once
#include <cstddef>

inline constexpr size_t ROLE_NAME_SIZE = 16;     // at most 15 characters
inline constexpr size_t REQUEST_BODY_SIZE = 32768;  // at most 32,767 body bytes

struct cgi_request {
  char role_name[ROLE_NAME_SIZE] = "engine";
  const char *query_string = nullptr;    // QUERY_STRING, null when unset
  const char *remote_addr = nullptr;     // REMOTE_ADDR
  const char *request_method = nullptr;  // REQUEST_METHOD
  const char *content_type = nullptr;    // CONTENT_TYPE
  const char *content_length = nullptr;  // CONTENT_LENGTH
  char *query_text = nullptr;            // writable copy that the parameters point into
  char body[REQUEST_BODY_SIZE] = {};     // form body, NUL-terminated
  size_t body_length = 0;
};

// The request of this process.
cgi_request &request();

// Takes the CGI variables from the environment (once, at start).
void request_load_environment();

// Sets role_name from the invocation path: base name, cut at its first '.',
// cut to 15 characters.
void request_set_role(const char *argv0);

// Reads standard input (descriptor fd) to end of file into the body, cut at
// 32,767 bytes (the rest is read and dropped), NUL-terminated.
void request_read_body(int fd);

// Whether the request carries a form body: a POST whose CONTENT_TYPE is
// application/x-www-form-urlencoded (parameters after ';' allowed) and whose
// CONTENT_LENGTH is above 0. Only such a request has standard input to read.
bool request_has_form_body();

// Reads the body (request_read_body) and adds its pairs to the parameters
// after those of the query string, so that a body pair hides a query pair
// of the same name.
void request_parse_body(int fd);
