/* The baseline of the gateway benchmark: a trivial CGI program that writes
   the same header block as the gateway's XML interface and ends. */
#include <stdio.h>

int main(void)
{
  fputs("Expires: -1\r\n"
        "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
        "Pragma: no-cache\r\n"
        "Content-Type: text/xml\r\n"
        "\r\n",
        stdout);
  return 0;
}
