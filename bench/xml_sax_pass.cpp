// One libxml2 push-parser pass over a library export, 64 KB at a time,
// with callbacks that only count elements and text bytes: what parsing
// the file costs with the parser the exporter's reader falls back on for
// documents its own scanner does not take.
// Usage: bench_xml_sax_pass FILE
#include <fcntl.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
unsigned long elements = 0, textBytes = 0;
void onStart(void*, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int, int,
             const xmlChar**) {
  ++elements;
}
void onText(void*, const xmlChar*, int n) { textBytes += static_cast<unsigned long>(n); }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = onStart;
  sax.characters = onText;
  static char piece[64 * 1024];
  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, argv[1]);
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET);
  ssize_t n;
  int rc = 0;
  while (rc == 0 && (n = read(fd, piece, sizeof piece)) > 0)
    rc = xmlParseChunk(ctxt, piece, static_cast<int>(n), 0);
  if (rc == 0) rc = xmlParseChunk(ctxt, nullptr, 0, 1);
  bool ok = rc == 0 && ctxt->wellFormed;
  xmlFreeParserCtxt(ctxt);
  close(fd);
  if (!ok) {
    std::fprintf(stderr, "%s: not well-formed\n", argv[1]);
    return 1;
  }
  std::printf("%lu elements, %lu text bytes\n", elements, textBytes);
  return 0;
}
