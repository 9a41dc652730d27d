// The CGI request record, filled once at start.
#include "request.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include "params.h"
#include "zun_text.h"

cgi_request &request()
{
  static cgi_request req;
  return req;
}

void request_load_environment()
{
  cgi_request &req = request();
  req.query_string = std::getenv("QUERY_STRING");
  req.remote_addr = std::getenv("REMOTE_ADDR");
  req.request_method = std::getenv("REQUEST_METHOD");
  req.content_type = std::getenv("CONTENT_TYPE");
  req.content_length = std::getenv("CONTENT_LENGTH");
}

void request_set_role(const char *argv0)
{
  const char *base = std::strrchr(argv0, '/');
  base = base != nullptr ? base + 1 : argv0;
  size_t n = std::strcspn(base, ".");
  if (n > ROLE_NAME_SIZE - 1)
    n = ROLE_NAME_SIZE - 1;
  cgi_request &req = request();
  std::memcpy(req.role_name, base, n);
  req.role_name[n] = '\0';
}

void request_read_body(int fd)
{
  cgi_request &req = request();
  size_t len = 0;
  char drop[4096];
  for (;;) {
    ssize_t r;
    if (len < REQUEST_BODY_SIZE - 1)
      r = read(fd, req.body + len, REQUEST_BODY_SIZE - 1 - len);
    else
      r = read(fd, drop, sizeof drop);  // beyond 32,767 bytes: read and dropped
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      break;
    if (len < REQUEST_BODY_SIZE - 1)
      len += static_cast<size_t>(r);
  }
  req.body[len] = '\0';
  req.body_length = len;
}

bool request_has_form_body()
{
  constexpr std::string_view kForm = "application/x-www-form-urlencoded";
  const cgi_request &req = request();
  if (req.request_method == nullptr || std::strcmp(req.request_method, "POST") != 0 ||
      req.content_type == nullptr || req.content_length == nullptr ||
      std::strtol(req.content_length, nullptr, 10) <= 0)
    return false;
  std::string_view type = req.content_type;
  type = type.substr(0, type.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
    type.remove_suffix(1);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
    type.remove_prefix(1);
  return type.size() == kForm.size() && strncasecmp(type.data(), kForm.data(), kForm.size()) == 0;
}

void request_parse_body(int fd)
{
  request_read_body(fd);
  params_parse_form(request().body);
}
