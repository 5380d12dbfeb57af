#include "platform/xfile/xfile.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <sstream>
#include <system_error>

std::string XFileModelDir = "3dobjects/";
std::string XFileProgramDir;

namespace {

// Larger files are refused before reading: our models are a few hundred KiB.
constexpr std::uintmax_t MaxFileBytes = 64u << 20;
// Nesting deeper than this is refused instead of recursing without bound.
constexpr int MaxDepth = 64;

enum class TokKind { LBrace, RBrace, Word, String, Guid, End };

struct Token {
    TokKind kind = TokKind::End;
    std::string_view text;
    int line = 0;
};

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';' || c == '{' || c == '}' ||
           c == '"' || c == '<' || c == '#' || c == '\f' || c == '\v';
}

// Splits the body after the 16-byte header, one token at a time as the
// parser asks: a file of nothing but braces or words is refused at its
// first wrong token, instead of costing memory for all of them first.
// ',' and ';' only separate values here: the counts say how many values
// follow, so they carry no meaning.
class Lexer {
public:
    [[noreturn]] void Fail(int line, const std::string& what) const
    {
        throw EXFileError(name_ + ": line " + std::to_string(line) + ": " + what);
    }

    Lexer(std::string_view text, size_t pos, int line, const std::string& name)
        : s_(text), pos_(pos), line_(line), name_(name)
    {
    }

    // Bytes not yet read: a bound on what can still come.
    size_t Left() const { return s_.size() - pos_; }

    // The next token; End at the end of the text, and again after it.
    Token Next()
    {
        size_t pos = pos_;
        int line = line_;
        while (pos < s_.size()) {
            char c = s_[pos];
            if (c == '\n') {
                ++line;
                ++pos;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == ',' || c == ';' || c == '\f' || c == '\v') {
                ++pos;
            } else if (c == '#' || (c == '/' && pos + 1 < s_.size() && s_[pos + 1] == '/')) {
                while (pos < s_.size() && s_[pos] != '\n') ++pos;
            } else {
                break;
            }
        }
        Token t;
        t.line = line;
        if (pos >= s_.size()) {
            pos_ = pos;
            line_ = line;
            return t;
        }
        char c = s_[pos];
        if (c == '{' || c == '}') {
            t.kind = c == '{' ? TokKind::LBrace : TokKind::RBrace;
            t.text = s_.substr(pos, 1);
            ++pos;
        } else if (c == '"') {
            size_t end = s_.find('"', pos + 1);
            if (end == std::string_view::npos) Fail(line, "unterminated string");
            t.kind = TokKind::String;
            t.text = s_.substr(pos + 1, end - pos - 1);
            for (char ch : t.text)
                if (ch == '\n') ++line;
            pos = end + 1;
        } else if (c == '<') {
            size_t end = s_.find('>', pos + 1);
            if (end == std::string_view::npos) Fail(line, "unterminated GUID");
            t.kind = TokKind::Guid;
            t.text = s_.substr(pos + 1, end - pos - 1);
            for (char ch : t.text)
                if (ch == '\n') ++line;
            pos = end + 1;
        } else {
            size_t start = pos;
            while (pos < s_.size() && !IsSeparator(s_[pos]) &&
                   !(s_[pos] == '/' && pos + 1 < s_.size() && s_[pos + 1] == '/'))
                ++pos;
            t.kind = TokKind::Word;
            t.text = s_.substr(start, pos - start);
        }
        pos_ = pos;
        line_ = line;
        return t;
    }

private:
    std::string_view s_;
    size_t pos_;
    int line_;
    const std::string& name_;
};

std::string Quote(std::string_view v)
{
    std::string r = "\"";
    for (char c : v.substr(0, 40)) r += (static_cast<unsigned char>(c) < 32) ? '?' : c;
    if (v.size() > 40) r += "...";
    return r + "\"";
}

// A mesh's faces as one run of corners, so that a face costs its corners
// and one offset: face f is corners[start[f]] up to corners[start[f + 1]].
struct Faces {
    std::vector<uint32_t> start{0};
    std::vector<uint32_t> corners;
    size_t Count() const { return start.size() - 1; }
    std::span<const uint32_t> operator[](size_t f) const
    {
        return std::span<const uint32_t>(corners).subspan(start[f], start[f + 1] - start[f]);
    }
};

class Parser {
public:
    Parser(Lexer& lex, const std::string& name) : lex_(lex), cur_(lex.Next()), name_(name) {}

    void ParseFile(TXFileModel& model)
    {
        while (Peek().kind != TokKind::End) {
            const Token w = Peek();
            if (w.kind != TokKind::Word) Fail(w, "expected a template or object name, found " + Quote(w.text));
            if (w.text == "template") {
                Next();
                SkipNamedBlock(0);
                continue;
            }
            ParseTopObject(model);
        }
    }

private:
    // Valid until the next Next(): keep a copy of a token needed longer.
    const Token& Peek() const { return cur_; }
    Token Next()
    {
        Token t = cur_;
        if (t.kind != TokKind::End) cur_ = lex_.Next();
        return t;
    }

    [[noreturn]] void Fail(const Token& t, const std::string& what) const
    {
        throw EXFileError(name_ + ": line " + std::to_string(t.line) + ": " + what);
    }

    void Expect(TokKind k, const char* what)
    {
        const Token t = Next();
        if (t.kind == k) return;
        if (t.kind == TokKind::End) Fail(t, std::string("file ends where ") + what + " was expected");
        Fail(t, std::string("expected ") + what + ", found " + Quote(t.text));
    }

    float Float(const char* what)
    {
        const Token t = Next();
        if (t.kind != TokKind::Word) {
            if (t.kind == TokKind::End) Fail(t, std::string("file ends inside ") + what);
            Fail(t, std::string("expected a number in ") + what + ", found " + Quote(t.text));
        }
        std::string_view s = t.text;
        if (!s.empty() && s[0] == '+') s.remove_prefix(1);
        float v = 0;
        auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc() || ptr != s.data() + s.size() || s.empty() || !std::isfinite(v))
            Fail(t, std::string("bad number ") + Quote(t.text) + " in " + what);
        return v;
    }

    // A count or index: a non-negative integer that fits 32 bits.
    uint32_t Count(const char* what)
    {
        const Token t = Next();
        if (t.kind != TokKind::Word) {
            if (t.kind == TokKind::End) Fail(t, std::string("file ends inside ") + what);
            Fail(t, std::string("expected a whole number in ") + what + ", found " + Quote(t.text));
        }
        uint32_t v = 0;
        auto [ptr, ec] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
        if (ec != std::errc() || ptr != t.text.data() + t.text.size())
            Fail(t, std::string("bad count ") + Quote(t.text) + " in " + what);
        return v;
    }

    // The count must be coverable by what is left of the file, so that a
    // corrupt count fails here instead of reserving gigabytes. Each value
    // takes at least a byte; the one after the last may be the file's end.
    void CheckRemaining(const Token& at, uint64_t count, uint64_t tokensEach, const char* what)
    {
        const uint64_t left = lex_.Left() + cur_.text.size();
        if (count * tokensEach > left + 1)
            Fail(at, std::to_string(count) + " " + what + " announced, the file is too short for them");
    }

    void SkipBlockBody(int depth)
    {
        // After '{': skip to the matching '}'.
        int level = 1;
        while (level > 0) {
            const Token t = Next();
            if (t.kind == TokKind::End) Fail(t, "file ends inside a block (missing '}')");
            if (t.kind == TokKind::LBrace) {
                if (depth + level >= MaxDepth) Fail(t, "blocks nested too deeply");
                ++level;
            } else if (t.kind == TokKind::RBrace) {
                --level;
            }
        }
    }

    // [name] '{' ... '}'
    void SkipNamedBlock(int depth)
    {
        if (Peek().kind == TokKind::Word) Next();
        Expect(TokKind::LBrace, "'{'");
        SkipBlockBody(depth);
    }

    void SkipGuid()
    {
        if (Peek().kind == TokKind::Guid) Next();
    }

    // Reads "Template [name] {" and returns the name ("" if none).
    std::string OpenObject(const Token& tmpl)
    {
        std::string name;
        if (Peek().kind == TokKind::Word) name = std::string(Next().text);
        Expect(TokKind::LBrace, ("'{' after " + std::string(tmpl.text)).c_str());
        SkipGuid();
        return name;
    }

    void ParseTopObject(TXFileModel& model)
    {
        const Token tmpl = Next();
        if (tmpl.text == "Frame") {
            auto f = std::make_unique<TCD3DFileObject>();
            f->Parent = &model.Root;
            f->Name = OpenObject(tmpl);
            ParseFrameBody(*f, 1);
            model.Root.Children.push_back(std::move(f));
        } else if (tmpl.text == "Mesh") {
            // A mesh outside any frame gets a frame of its own, named after it.
            auto f = std::make_unique<TCD3DFileObject>();
            f->Parent = &model.Root;
            f->Mesh = std::make_unique<TXMesh>();
            f->Mesh->Name = OpenObject(tmpl);
            f->Name = f->Mesh->Name;
            ParseMeshBody(*f->Mesh, 1, tmpl);
            model.Root.Children.push_back(std::move(f));
        } else if (tmpl.text == "Material") {
            TXMaterial m;
            m.Name = OpenObject(tmpl);
            ParseMaterialBody(m, 1);
            Register(m);
        } else {
            SkipNamedBlock(0);
        }
    }

    void Register(const TXMaterial& m)
    {
        if (!m.Name.empty()) materials_[m.Name] = m;
    }

    void ParseFrameBody(TCD3DFileObject& frame, int depth)
    {
        if (depth >= MaxDepth) Fail(Peek(), "frames nested too deeply");
        while (true) {
            const Token t = Peek();
            if (t.kind == TokKind::RBrace) {
                Next();
                return;
            }
            if (t.kind == TokKind::End) Fail(t, "file ends inside frame " + Quote(frame.Name));
            if (t.kind == TokKind::LBrace) {
                // A reference to another frame: not instanced by the game's models.
                Next();
                SkipBlockBody(depth);
                continue;
            }
            if (t.kind != TokKind::Word) Fail(t, "unexpected " + Quote(t.text) + " in frame " + Quote(frame.Name));
            const Token tmpl = Next();
            if (tmpl.text == "FrameTransformMatrix") {
                OpenObject(tmpl);
                D3DMATRIX m;
                for (int r = 0; r < 4; ++r)
                    for (int c = 0; c < 4; ++c) m.m[r][c] = Float("FrameTransformMatrix");
                Expect(TokKind::RBrace, "'}' after the 16 matrix values");
                frame.Matrix = m;
            } else if (tmpl.text == "Frame") {
                auto f = std::make_unique<TCD3DFileObject>();
                f->Parent = &frame;
                f->Name = OpenObject(tmpl);
                ParseFrameBody(*f, depth + 1);
                frame.Children.push_back(std::move(f));
            } else if (tmpl.text == "Mesh") {
                auto mesh = std::make_unique<TXMesh>();
                mesh->Name = OpenObject(tmpl);
                ParseMeshBody(*mesh, depth + 1, tmpl);
                if (!frame.Mesh) {
                    frame.Mesh = std::move(mesh);
                } else {
                    // A frame holds one mesh; further ones get child frames.
                    auto f = std::make_unique<TCD3DFileObject>();
                    f->Parent = &frame;
                    f->Name = mesh->Name;
                    f->Mesh = std::move(mesh);
                    frame.Children.push_back(std::move(f));
                }
            } else if (tmpl.text == "Material") {
                TXMaterial m;
                m.Name = OpenObject(tmpl);
                ParseMaterialBody(m, depth + 1);
                Register(m);
            } else {
                SkipNamedBlock(depth);
            }
        }
    }

    void ParseMaterialBody(TXMaterial& m, int depth)
    {
        m.Diffuse.r = Float("Material");
        m.Diffuse.g = Float("Material");
        m.Diffuse.b = Float("Material");
        m.Diffuse.a = Float("Material");
        m.Power = Float("Material");
        m.Specular = {Float("Material"), Float("Material"), Float("Material"), 1};
        m.Emissive = {Float("Material"), Float("Material"), Float("Material"), 1};
        while (true) {
            const Token t = Peek();
            if (t.kind == TokKind::RBrace) {
                Next();
                return;
            }
            if (t.kind == TokKind::End) Fail(t, "file ends inside material " + Quote(m.Name));
            if (t.kind != TokKind::Word) Fail(t, "unexpected " + Quote(t.text) + " in material " + Quote(m.Name));
            const Token tmpl = Next();
            if (tmpl.text == "TextureFilename" || tmpl.text == "TextureFileName") {
                OpenObject(tmpl);
                const Token s = Next();
                if (s.kind != TokKind::String) Fail(s, "expected a quoted texture file name");
                m.TextureFilename = std::string(s.text);
                Expect(TokKind::RBrace, "'}' after the texture file name");
            } else {
                SkipNamedBlock(depth);
            }
        }
    }

    void ParseMeshBody(TXMesh& mesh, int depth, const Token& at)
    {
        std::string what = "mesh " + Quote(mesh.Name);
        const Token vcTok = Peek();
        uint32_t nv = Count("the mesh's vertex count");
        if (nv > static_cast<uint32_t>(MaxMeshVertices))
            Fail(vcTok, what + " has " + std::to_string(nv) + " vertices, at most " + std::to_string(MaxMeshVertices) +
                            " fit 16-bit indices");
        CheckRemaining(vcTok, nv, 3, "vertices");
        auto& verts = *mesh.Vertices;
        verts.resize(nv);
        for (auto& v : verts) {
            v.x = Float("a vertex");
            v.y = Float("a vertex");
            v.z = Float("a vertex");
        }
        const Token fcTok = Peek();
        uint32_t nf = Count("the mesh's face count");
        CheckRemaining(fcTok, nf, 1, "faces");
        Faces faces;
        faces.start.reserve(nf + 1);
        for (uint32_t f = 0; f < nf; ++f) {
            const Token cTok = Peek();
            uint32_t n = Count("a face");
            CheckRemaining(cTok, n, 1, "face corners");
            for (uint32_t k = 0; k < n; ++k) {
                const Token iTok = Peek();
                const uint32_t i = Count("a face");
                faces.corners.push_back(i);
                if (i >= nv)
                    Fail(iTok, what + ": vertex index " + std::to_string(i) + " out of range (" + std::to_string(nv) +
                                   " vertices)");
            }
            faces.start.push_back(static_cast<uint32_t>(faces.corners.size()));
        }

        std::vector<uint32_t> faceMaterial(nf, 0);
        std::vector<TXMaterial> mats;
        bool haveList = false;
        while (true) {
            const Token t = Peek();
            if (t.kind == TokKind::RBrace) {
                Next();
                break;
            }
            if (t.kind == TokKind::End) Fail(t, "file ends inside " + what);
            if (t.kind != TokKind::Word) Fail(t, "unexpected " + Quote(t.text) + " in " + what);
            const Token tmpl = Next();
            if (tmpl.text == "MeshNormals") {
                OpenObject(tmpl);
                ParseNormals(verts, faces, what);
                SkipRestOfObject(depth);
            } else if (tmpl.text == "MeshTextureCoords") {
                OpenObject(tmpl);
                const Token cTok = Peek();
                uint32_t n = Count("MeshTextureCoords");
                if (n != nv)
                    Fail(cTok, what + ": " + std::to_string(n) + " texture coordinates for " + std::to_string(nv) +
                                   " vertices");
                for (auto& v : verts) {
                    v.tu = Float("MeshTextureCoords");
                    v.tv = Float("MeshTextureCoords");
                }
                SkipRestOfObject(depth);
            } else if (tmpl.text == "MeshMaterialList") {
                OpenObject(tmpl);
                ParseMaterialList(faceMaterial, mats, nf, depth + 1, what);
                haveList = true;
            } else {
                SkipNamedBlock(depth);
            }
        }
        if (!haveList || mats.empty()) {
            mats.assign(1, TXMaterial{});
            faceMaterial.assign(nf, 0);
        }
        (void)at;

        // Groups one after the other in material order, faces in file order.
        auto& idx = *mesh.Indices;
        for (uint32_t g = 0; g < mats.size(); ++g) {
            TXMaterialGroup grp;
            grp.Material = mats[g];
            grp.FirstIndex = static_cast<int32_t>(idx.size());
            for (uint32_t f = 0; f < nf; ++f) {
                if (faceMaterial[f] != g) continue;
                const auto c = faces[f];
                for (size_t k = 2; k < c.size(); ++k) {
                    idx.push_back(static_cast<uint16_t>(c[0]));
                    idx.push_back(static_cast<uint16_t>(c[k - 1]));
                    idx.push_back(static_cast<uint16_t>(c[k]));
                }
            }
            grp.IndexCount = static_cast<int32_t>(idx.size()) - grp.FirstIndex;
            if (grp.Material.Diffuse.a < 1.0f) mesh.Transparent = true;
            mesh.Groups.push_back(std::move(grp));
        }
    }

    // Data members done; skips any child objects up to the closing brace.
    void SkipRestOfObject(int depth)
    {
        while (true) {
            const Token t = Next();
            if (t.kind == TokKind::RBrace) return;
            if (t.kind == TokKind::End) Fail(t, "file ends inside a block (missing '}')");
            if (t.kind == TokKind::LBrace) SkipBlockBody(depth + 1);
        }
    }

    void ParseNormals(std::vector<D3DVERTEX>& verts, const Faces& faces, const std::string& what)
    {
        const Token cTok = Peek();
        uint32_t n = Count("MeshNormals");
        CheckRemaining(cTok, n, 3, "normals");
        std::vector<D3DVECTOR> normals(n);
        for (auto& v : normals) {
            v.x = Float("MeshNormals");
            v.y = Float("MeshNormals");
            v.z = Float("MeshNormals");
        }
        const Token fTok = Peek();
        uint32_t nf = Count("MeshNormals");
        if (nf != faces.Count())
            Fail(fTok,
                 what + ": " + std::to_string(nf) + " normal faces for " + std::to_string(faces.Count()) + " faces");
        // Each face corner names its normal; a vertex takes the normal its
        // corners give it (the last one where they disagree).
        for (size_t fi = 0; fi < faces.Count(); ++fi) {
            const auto f = faces[fi];
            const Token kTok = Peek();
            uint32_t k = Count("MeshNormals");
            if (k != f.size())
                Fail(kTok, what + ": a normal face has " + std::to_string(k) + " corners, its face " +
                               std::to_string(f.size()));
            for (uint32_t c = 0; c < k; ++c) {
                const Token iTok = Peek();
                uint32_t i = Count("MeshNormals");
                if (i >= n)
                    Fail(iTok, what + ": normal index " + std::to_string(i) + " out of range (" + std::to_string(n) +
                                   " normals)");
                D3DVERTEX& v = verts[f[c]];
                v.nx = normals[i].x;
                v.ny = normals[i].y;
                v.nz = normals[i].z;
            }
        }
    }

    void ParseMaterialList(std::vector<uint32_t>& faceMaterial, std::vector<TXMaterial>& mats, uint32_t nf, int depth,
                           const std::string& what)
    {
        const Token mTok = Peek();
        uint32_t nm = Count("MeshMaterialList");
        if (nm > static_cast<uint32_t>(MaxMaterialGroups))
            Fail(mTok, what + " has " + std::to_string(nm) + " materials, at most " +
                           std::to_string(MaxMaterialGroups) + " are supported");
        const Token iTok = Peek();
        uint32_t ni = Count("MeshMaterialList");
        if (ni > nf)
            Fail(iTok, what + ": " + std::to_string(ni) + " face materials for " + std::to_string(nf) + " faces");
        for (uint32_t f = 0; f < ni; ++f) {
            const Token t = Peek();
            uint32_t m = Count("MeshMaterialList");
            if (m >= nm)
                Fail(t, what + ": material index " + std::to_string(m) + " out of range (" + std::to_string(nm) +
                            " materials)");
            faceMaterial[f] = m;
        }
        // Faces beyond the list keep the last listed material.
        for (uint32_t f = ni; f < nf; ++f) faceMaterial[f] = ni > 0 ? faceMaterial[ni - 1] : 0;

        while (true) {
            const Token t = Peek();
            if (t.kind == TokKind::RBrace) {
                Next();
                break;
            }
            if (t.kind == TokKind::End) Fail(t, "file ends inside the material list of " + what);
            if (t.kind == TokKind::LBrace) {
                // A reference to a material named earlier: { Name } or { Name <guid> }.
                Next();
                const Token n = Next();
                std::string name;
                if (n.kind == TokKind::Word) {
                    name = std::string(n.text);
                    SkipGuid();
                } else if (n.kind != TokKind::Guid) {
                    Fail(n, "expected a material name in a reference");
                }
                Expect(TokKind::RBrace, "'}' closing a material reference");
                auto it = materials_.find(name);
                if (it == materials_.end()) Fail(n, what + ": unknown material " + Quote(name));
                mats.push_back(it->second);
                continue;
            }
            if (t.kind != TokKind::Word) Fail(t, "unexpected " + Quote(t.text) + " in the material list of " + what);
            const Token tmpl = Next();
            if (tmpl.text == "Material") {
                TXMaterial m;
                m.Name = OpenObject(tmpl);
                ParseMaterialBody(m, depth + 1);
                Register(m);
                mats.push_back(std::move(m));
            } else {
                SkipNamedBlock(depth);
            }
        }
        if (mats.size() != nm)
            Fail(mTok,
                 what + ": " + std::to_string(nm) + " materials announced, " + std::to_string(mats.size()) + " given");
    }

    Lexer& lex_;
    Token cur_;  // the token Peek shows
    const std::string& name_;
    std::map<std::string, TXMaterial, std::less<>> materials_;
};

TCD3DFileObject* Find(TCD3DFileObject& f, std::string_view name)
{
    if (f.Name == name) return &f;
    for (auto& c : f.Children)
        if (TCD3DFileObject* r = Find(*c, name)) return r;
    return nullptr;
}

void Walk(TCD3DFileObject& f, const D3DMATRIX& parent, const TXFileModel::TFrameVisitor& visit)
{
    D3DMATRIX world = f.Matrix * parent;
    visit(f, world);
    for (auto& c : f.Children) Walk(*c, world, visit);
}

std::string ProgramDir()
{
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    return exe.parent_path().string() + "/";
}

}  // namespace

std::shared_ptr<TXFileModel> TXFileModel::LoadFromText(std::string_view text, const std::string& name)
{
    // "xof " + version "03xx" + format "txt " + float size "0032"/"0064".
    if (text.size() < 16 || text.substr(0, 4) != "xof " || text.substr(4, 2) != "03")
        throw EXFileError(name + ": not a DirectX model file (header \"xof 0303txt 0032\" missing)");
    std::string_view format = text.substr(8, 4);
    if (format != "txt ") {
        throw EXFileError(name + ": model format " + Quote(format) + " is not supported, only text (\"txt \")");
    }
    std::string_view floats = text.substr(12, 4);
    if (floats != "0032" && floats != "0064")
        throw EXFileError(name + ": bad float size " + Quote(floats) + " in the header");

    Lexer lex(text, 16, 1, name);
    auto model = std::make_shared<TXFileModel>();
    model->FileName = name;
    model->Root.Name = "D3DFile_Root";
    Parser parser(lex, name);
    parser.ParseFile(*model);
    return model;
}

std::shared_ptr<TXFileModel> TXFileModel::LoadFromFile(const std::string& path)
{
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) throw EXFileError(path + ": cannot read the model file (" + ec.message() + ")");
    if (size > MaxFileBytes)
        throw EXFileError(path + ": model file of " + std::to_string(size) + " bytes is too large");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EXFileError(path + ": cannot open the model file");
    std::string text(static_cast<size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(size));
    if (static_cast<uintmax_t>(in.gcount()) != size) throw EXFileError(path + ": read error");
    return LoadFromText(text, path);
}

TCD3DFileObject* TXFileModel::FindFrame(std::string_view name)
{
    if (name.empty()) return &Root;
    return Find(Root, name);
}

const TCD3DFileObject* TXFileModel::FindFrame(std::string_view name) const
{
    return const_cast<TXFileModel*>(this)->FindFrame(name);
}

D3DMATRIX* TXFileModel::FrameMatrix(std::string_view name)
{
    TCD3DFileObject* f = FindFrame(name);
    return f ? &f->Matrix : nullptr;
}

void TXFileModel::EnumFrames(const TFrameVisitor& visit, const D3DMATRIX& start) { Walk(Root, start, visit); }

void TXFileModel::Scale(float sx, float sy, float sz)
{
    EnumFrames([&](TCD3DFileObject& f, const D3DMATRIX&) {
        if (!f.Mesh) return;
        for (auto& v : *f.Mesh->Vertices) {
            v.x *= sx;
            v.y *= sy;
            v.z *= sz;
        }
    });
}

std::string FindXFile(const std::string& name)
{
    std::error_code ec;
    std::string programDir = XFileProgramDir.empty() ? ProgramDir() : XFileProgramDir;
    const std::string candidates[] = {name, XFileModelDir + name, programDir + XFileModelDir + name};
    for (const auto& c : candidates)
        if (!name.empty() && std::filesystem::is_regular_file(c, ec)) return c;
    throw EXFileError(name + ": model file not found (looked in the working directory, " + XFileModelDir + " and " +
                      programDir + XFileModelDir + ")");
}

void LoadXObject(TXObject& obj, const std::string& fileName)
{
    if (obj.Loaded) {
        obj.XFile.reset();
        obj.Loaded = 0;
        obj.Active = 0;
    }
    obj.XFile = TXFileModel::LoadFromFile(FindXFile(fileName));
    obj.Position = {};
    obj.Rotation = {};
    obj.Right = {1, 0, 0};
    obj.Up = {0, 1, 0};
    obj.Forward = {0, 0, 1};
    obj.Loaded = 1;
    obj.Active = 1;
}

void ScaleXObject(TXObject& obj, float sx, float sy, float sz)
{
    if (obj.XFile) obj.XFile->Scale(sx, sy, sz);
}

void GetXGeometry(const TXObject& obj, const std::string& frameName, TGeometry& out)
{
    if (!obj.XFile) throw EXFileError("no model loaded for frame \"" + frameName + "\"");
    const TCD3DFileObject* f = obj.XFile->FindFrame(frameName);
    if (!f) throw EXFileError(obj.XFile->FileName + ": no frame named \"" + frameName + "\"");
    out = TGeometry{};
    if (!f->Mesh) {
        out.Indices = std::make_shared<std::vector<uint16_t>>();
        out.Vertices = std::make_shared<std::vector<D3DVERTEX>>();
        return;
    }
    out.Indices = f->Mesh->Indices;
    out.IndexCount = static_cast<int32_t>(out.Indices->size());
    out.Vertices = f->Mesh->Vertices;
    out.VertexCount = static_cast<int32_t>(out.Vertices->size());
}
