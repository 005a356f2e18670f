#include "corpus.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace morvane::test {

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.emplace_back();
    return fields;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string SafeName(std::string name) {
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

}  // namespace

std::vector<ManifestRow> ReadManifest(const std::filesystem::path& corpusDir,
                                      const std::string& prefix, const std::string& format) {
    std::ifstream in(corpusDir / "MANIFEST.tsv");
    std::string line;
    std::vector<ManifestRow> rows;
    if (!std::getline(in, line)) return rows;
    std::vector<std::string> header = SplitTabs(line);
    auto column = [&](const std::string& name) -> size_t {
        for (size_t i = 0; i < header.size(); ++i)
            if (header[i] == name) return i;
        return size_t(-1);
    };
    const size_t cFile = column("file"), cFormat = column("format"),
                 cExercises = column("exercises"), cPillow = column("pillow"),
                 cRef = column("reference_decoder"), cNotes = column("notes");
    auto at = [](const std::vector<std::string>& f, size_t i) {
        return i < f.size() ? f[i] : std::string();
    };
    while (std::getline(in, line)) {
        std::vector<std::string> f = SplitTabs(line);
        ManifestRow row{at(f, cFile), at(f, cFormat), at(f, cExercises),
                        at(f, cPillow), at(f, cRef),    at(f, cNotes)};
        if (row.File.rfind(prefix, 0) == 0 && row.Format == format) rows.push_back(row);
    }
    return rows;
}

std::optional<PamImage> ReadPam(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string token;
    if (!(in >> token) || token != "P7") return std::nullopt;
    PamImage pam;
    int maxval = 0;
    while (in >> token && token != "ENDHDR") {
        if (token == "WIDTH") in >> pam.Width;
        else if (token == "HEIGHT") in >> pam.Height;
        else if (token == "DEPTH") in >> pam.Depth;
        else if (token == "MAXVAL") in >> maxval;
        else if (token == "TUPLTYPE") in >> pam.TupleType;
    }
    in.get();  // the newline after ENDHDR
    if (maxval != 255 || pam.Width <= 0 || pam.Height <= 0 || pam.Depth <= 0) return std::nullopt;
    pam.Samples.resize(size_t(pam.Width) * size_t(pam.Height) * size_t(pam.Depth));
    if (!in.read(reinterpret_cast<char*>(pam.Samples.data()), std::streamsize(pam.Samples.size())))
        return std::nullopt;
    return pam;
}

std::optional<PamImage> ReferenceDecode(const std::filesystem::path& corpusDir,
                                        const std::filesystem::path& referenceDir,
                                        const std::string& file, bool native) {
    std::filesystem::path out =
        referenceDir / (SafeName(file) + (native ? ".native.pam" : ".pam"));
    if (!std::filesystem::exists(out)) {
        std::error_code ec;
        std::filesystem::create_directories(referenceDir, ec);
        // Tests run in parallel: write aside, then rename into place.
        // reference.py picks the output format by the extension, which stays last.
        std::filesystem::path temp = out;
        temp.replace_extension(".tmp" + std::to_string(getpid()) + ".pam");
        std::string command = "/usr/bin/python3 " + Quote((corpusDir / "reference.py").string()) +
                              " " + Quote((corpusDir / file).string()) + " -o " +
                              Quote(temp.string()) + (native ? " --channels native" : "") +
                              " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            std::filesystem::remove(temp, ec);
            return std::nullopt;
        }
        std::filesystem::rename(temp, out, ec);
        if (ec) return std::nullopt;
    }
    return ReadPam(out);
}

std::string CaseNameOf(const std::string& file) {
    std::string name = file;
    size_t slash = name.find('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);  // drop the format folder
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name = name.substr(0, dot);
    return SafeName(name);
}

}  // namespace morvane::test
