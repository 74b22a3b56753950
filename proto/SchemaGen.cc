// Writes the cairndb database schema (generated from the ObjectType enum) to the file named on the
// command line, or to standard output.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "proto/CairndbSchema.h"

int main(int argc, char** argv) {
    std::string schema = ozy::cairndb::CairndbSchemaJson();
    if (argc < 2) {
        std::cout << schema;
        return 0;
    }
    std::ofstream out(argv[1], std::ios::trunc);
    out << schema;
    out.close();
    if (!out) {
        std::fprintf(stderr, "ozy-cairndb-schema: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
