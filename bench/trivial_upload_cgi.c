/* The baseline of the upload benchmark: a trivial CGI program that reads
   the request body (CONTENT_LENGTH bytes) and writes it to a file, then
   answers with the upload status response. No multipart parsing, no
   session, no checks. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(void)
{
  const char *len_text = getenv("CONTENT_LENGTH");
  const char *root = getenv("APPLIANCE_ROOT");
  long len = len_text != NULL ? strtol(len_text, NULL, 10) : 0;
  char *body = len > 0 ? malloc((size_t)len) : NULL;
  long got = 0;
  while (body != NULL && got < len) {
    ssize_t r = read(0, body + got, (size_t)(len - got));
    if (r <= 0)
      break;
    got += r;
  }
  char path[4096];
  snprintf(path, sizeof path, "%s/var/tmp/trivial-upload", root != NULL ? root : "");
  FILE *f = fopen(path, "wb");
  int ok = f != NULL && fwrite(body, 1, (size_t)got, f) == (size_t)got;
  if (f != NULL && fclose(f) != 0)
    ok = 0;
  fputs("Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
        "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
        "Pragma: no-cache\r\n"
        "Content-Type: text/xml\r\n"
        "\r\n",
        stdout);
  fputs(ok ? "<error type=\"no error\" success=\"true\" />\r\n"
           : "<error type=\"permission denied\" success=\"false\" />\r\n",
        stdout);
  free(body);
  return 0;
}
