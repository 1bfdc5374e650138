#include "deep_support.h"

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace svt {

const CorpusFile *Corpus::byName(const std::string &n) const
{
    for (const CorpusFile &f : files)
        if (f.name == n)
            return &f;
    return nullptr;
}

const Corpus &carvingCorpus()
{
    static Corpus c = [] {
        Corpus k;
        k.dir = fixture("carving");
        std::ifstream m(k.dir + "/manifest.txt");
        std::string name, type;
        while (m >> name >> type)
            k.files.push_back({name, type, readFile(k.dir + "/files/" + name)});
        std::ifstream l(k.dir + "/layout.txt");
        LayoutEntry e;
        while (l >> e.offset >> e.size >> e.type >> e.name)
            k.layout.push_back(e);
        return k;
    }();
    return c;
}

}  // namespace svt
