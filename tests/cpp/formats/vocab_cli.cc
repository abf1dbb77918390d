// vocab_cli VOCAB_FILE: builds the generation-1 tokenizer from the file and
// answers commands from standard input, one a line, with one line each.
//   E <hex text>      -> the ids of encode, separated by spaces
//   R <hex text>      -> the ids of encode_reference
//   D <id> <id> ...   -> hex of decode
//   I                 -> "<piece count> <1 if scored else 0>"
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "formats/vocab_tokenizer.h"
#include "hex_text.h"

int main(int argc, char** argv) {
  using namespace pinnet::testing;
  if (argc != 2) {
    std::cerr << "usage: vocab_cli VOCAB_FILE < commands\n";
    return 1;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  const auto tok = pinnet::formats::VocabTokenizer::build(text);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    const std::string arg = line.size() > 2 ? line.substr(2) : "";
    switch (line[0]) {
      case 'E': print_id_line(tok.encode(from_hex(arg))); break;
      case 'R': print_id_line(tok.encode_reference(from_hex(arg))); break;
      case 'D': {
        std::vector<uint32_t> ids;
        std::istringstream in(arg);
        for (unsigned long id; in >> id;) ids.push_back(static_cast<uint32_t>(id));
        std::cout << to_hex(tok.decode(ids)) << '\n';
        break;
      }
      case 'I': std::cout << tok.piece_count() << ' ' << (tok.has_scores() ? 1 : 0) << '\n'; break;
      default: std::cout << "?\n";
    }
    std::cout.flush();
  }
  return 0;
}
