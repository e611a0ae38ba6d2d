// Build-time tool: encodes the register description (cfg.xml) into the data
// file "bin" that the service reads, and checks that every register part of
// the result loads back.
//   cfg_encode <cfg.xml> <bin>
#include <cstdio>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "gt_logger.h"
#include "xmlHelper.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <cfg.xml> <bin>\n", argv[0]);
        return 2;
    }
    const std::string in = argv[1];
    const std::string out = argv[2];
    if (CXmlHelper::EnDecodeFile(in.c_str(), out.c_str(), true) != 0) {
        fprintf(stderr, "cfg_encode: encoding %s into %s failed\n", in.c_str(), out.c_str());
        return 1;
    }

    // Every part named in the document must load from the encoded file.
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(in.c_str()) != tinyxml2::XML_SUCCESS) {
        fprintf(stderr, "cfg_encode: %s: %s\n", in.c_str(), doc.ErrorStr());
        return 1;
    }
    tinyxml2::XMLElement* cores = doc.FirstChildElement(CXmlHelper::XmlLabelCores);
    if (!cores) {
        fprintf(stderr, "cfg_encode: %s has no \"Cores\" element\n", in.c_str());
        return 1;
    }
    std::string dir = out;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    if ((slash == std::string::npos ? out : out.substr(slash + 1)) != "bin") {
        fprintf(stderr, "cfg_encode: the output must be named bin\n");
        return 1;
    }
    g_sXmlDirect = dir;
    int parts = 0;
    for (tinyxml2::XMLElement* core = cores->FirstChildElement(CXmlHelper::XmlLabelCore); core;
         core = core->NextSiblingElement(CXmlHelper::XmlLabelCore)) {
        const char* name = core->Attribute(CXmlHelper::XmlAttrName);
        if (!name) {
            fprintf(stderr, "cfg_encode: a \"Core\" without a name\n");
            return 1;
        }
        CXmlHelper helper;
        if (helper.LoadFromFile(name, nullptr) != 0) {
            fprintf(stderr, "cfg_encode: register part %s does not load (run quay_tool decode and check it)\n",
                    name);
            return 1;
        }
        parts++;
    }
    printf("cfg_encode: %s -> %s, %d register parts\n", in.c_str(), out.c_str(), parts);
    return 0;
}
