// The floor for loading a library export: one libxml2 xmlTextReader pass
// over the file that visits every node and reads every text value, and
// does nothing else. Prints the node count.
// Usage: bench_xml_reader_pass FILE
#include <libxml/xmlreader.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  xmlTextReaderPtr reader = xmlReaderForFile(argv[1], nullptr, XML_PARSE_NONET | XML_PARSE_COMPACT);
  if (!reader) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  unsigned long nodes = 0, textBytes = 0;
  int status;
  while ((status = xmlTextReaderRead(reader)) == 1) {
    ++nodes;
    if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_TEXT) {
      const xmlChar* value = xmlTextReaderConstValue(reader);
      if (value) textBytes += std::strlen(reinterpret_cast<const char*>(value));
    }
  }
  xmlFreeTextReader(reader);
  if (status != 0) {
    std::fprintf(stderr, "%s: not well-formed\n", argv[1]);
    return 1;
  }
  std::printf("%lu nodes, %lu text bytes\n", nodes, textBytes);
  return 0;
}
