#include "platform/gfx/gfxdevice.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

int g_liveGLObjects = 0;

// The shaders compare the states by the names of the C++ enums: the values
// come from here, so the two cannot drift apart.
std::string ShaderPreamble()
{
    std::string s = "#version 330 core\n";
    auto define = [&](const char* name, uint32_t value) {
        s += std::string("#define ") + name + " " + std::to_string(value) + "\n";
    };
#define DEFINE(name) define(#name, name)
    DEFINE(D3DTA_TEXTURE);
    DEFINE(D3DTA_TFACTOR);
    DEFINE(D3DTOP_SELECTARG1);
    DEFINE(D3DTOP_SELECTARG2);
    DEFINE(D3DTOP_MODULATE);
    DEFINE(D3DTOP_MODULATE2X);
    DEFINE(D3DTOP_MODULATE4X);
    DEFINE(D3DTOP_ADD);
    DEFINE(D3DTOP_BLENDDIFFUSEALPHA);
    DEFINE(D3DTOP_BLENDTEXTUREALPHA);
    DEFINE(D3DTOP_BLENDFACTORALPHA);
    DEFINE(D3DCMP_NEVER);
    DEFINE(D3DCMP_LESS);
    DEFINE(D3DCMP_EQUAL);
    DEFINE(D3DCMP_LESSEQUAL);
    DEFINE(D3DCMP_GREATER);
    DEFINE(D3DCMP_NOTEQUAL);
    DEFINE(D3DCMP_GREATEREQUAL);
    DEFINE(D3DCMP_ALWAYS);
#undef DEFINE
    return s;
}

// One source for every state the game sets: transform (or screen-space
// pass-through), one directional light with the material, stage 0 with its
// colour and alpha operations, the alpha test. The states in capitals are
// fixed per program (see TProgramKey): the software rasteriser runs every
// branch a uniform would leave open for every fragment, and a discard
// anywhere in the program costs the early depth test of every draw.
const char* kVertexShader = R"(layout(location = 0) in vec4 aPos;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec4 aColor;
layout(location = 3) in vec2 aTex;
uniform mat4 uWVP;
uniform mat4 uWorld;
uniform vec4 uVP;
uniform vec4 uMatDiffuse;
uniform vec4 uMatAmbient;
uniform vec4 uMatEmissive;
uniform vec3 uLightDir;
uniform vec4 uLightDiffuse;
uniform vec4 uLightAmbient;
uniform vec4 uGlobalAmbient;
out vec4 vColor;
out vec2 vTex;
void main() {
    vTex = aTex;
    if (SCREEN != 0) {
        // Pixel coordinates, y down, depth 0..1, w = 1 / rhw.
        float w = aPos.w > 0.0 ? 1.0 / aPos.w : 1.0;
        vec2 ndc = vec2((aPos.x - uVP.x) / uVP.z * 2.0 - 1.0, 1.0 - (aPos.y - uVP.y) / uVP.w * 2.0);
        gl_Position = vec4(ndc * w, (2.0 * aPos.z - 1.0) * w, w);
        vColor = aColor;
        return;
    }
    // The matrix is row-major v x M; read column-major it is its transpose.
    vec4 p = uWVP * vec4(aPos.xyz, 1.0);
    // Direct3D's clip depth runs 0..w, OpenGL's -w..w.
    gl_Position = vec4(p.x, p.y, 2.0 * p.z - p.w, p.w);
    vec4 vertexColor = (HAS_COLOR != 0) ? aColor : vec4(1.0);
    if (LIGHTING == 0) {
        vColor = vertexColor;
        return;
    }
    vec4 diffuse = (HAS_COLOR != 0) ? aColor : uMatDiffuse;
    vec3 ambient = uGlobalAmbient.rgb + ((LIGHT_ON != 0) ? uLightAmbient.rgb : vec3(0.0));
    vec3 c = uMatEmissive.rgb + uMatAmbient.rgb * ambient;
    if (HAS_NORMAL != 0 && LIGHT_ON != 0) {
        vec3 n = mat3(uWorld) * aNormal;
        if (NORMALIZE != 0) n = normalize(n);
        c += diffuse.rgb * uLightDiffuse.rgb * max(dot(n, -uLightDir), 0.0);
    }
    vColor = vec4(clamp(c, 0.0, 1.0), diffuse.a);
}
)";

const char* kFragmentShader = R"(in vec4 vColor;
in vec2 vTex;
out vec4 fragColor;
uniform sampler2D uTex;
uniform vec4 uTFactor;
uniform float uAlphaRef;
uniform float uLodBias;
vec4 arg(int a, vec4 diffuse, vec4 tex) {
    a = a & 15;
    if (a == D3DTA_TEXTURE) return tex;
    if (a == D3DTA_TFACTOR) return uTFactor;
    return diffuse;  // D3DTA_DIFFUSE, and D3DTA_CURRENT at stage 0
}
vec4 op(int o, vec4 a1, vec4 a2, vec4 diffuse, vec4 tex) {
    if (o == D3DTOP_SELECTARG1) return a1;
    if (o == D3DTOP_SELECTARG2) return a2;
    if (o == D3DTOP_MODULATE) return a1 * a2;
    if (o == D3DTOP_MODULATE2X) return a1 * a2 * 2.0;
    if (o == D3DTOP_MODULATE4X) return a1 * a2 * 4.0;
    if (o == D3DTOP_ADD) return a1 + a2;
    if (o == D3DTOP_BLENDDIFFUSEALPHA) return mix(a2, a1, diffuse.a);
    if (o == D3DTOP_BLENDTEXTUREALPHA) return mix(a2, a1, tex.a);
    if (o == D3DTOP_BLENDFACTORALPHA) return mix(a2, a1, uTFactor.a);
    return diffuse;  // disabled: the stage passes the diffuse colour on
}
bool passes(float a) {
    if (ALPHA_FUNC == D3DCMP_NEVER) return false;
    if (ALPHA_FUNC == D3DCMP_LESS) return a < uAlphaRef;
    if (ALPHA_FUNC == D3DCMP_EQUAL) return a == uAlphaRef;
    if (ALPHA_FUNC == D3DCMP_LESSEQUAL) return a <= uAlphaRef;
    if (ALPHA_FUNC == D3DCMP_GREATER) return a > uAlphaRef;
    if (ALPHA_FUNC == D3DCMP_NOTEQUAL) return a != uAlphaRef;
    if (ALPHA_FUNC == D3DCMP_GREATEREQUAL) return a >= uAlphaRef;
    return true;
}
void main() {
    vec4 diffuse = vColor;
    // Without a texture the texture argument reads as the diffuse colour.
    vec4 tex = (HAS_TEX != 0) ? texture(uTex, vTex, uLodBias) : diffuse;
    vec4 c = op(COLOR_OP, arg(COLOR_ARG1, diffuse, tex), arg(COLOR_ARG2, diffuse, tex), diffuse, tex);
    vec4 a = op(ALPHA_OP, arg(ALPHA_ARG1, diffuse, tex), arg(ALPHA_ARG2, diffuse, tex), diffuse, tex);
    vec4 result = clamp(vec4(c.rgb, a.a), 0.0, 1.0);
    // Without a test the program has no discard: the rasteriser may then
    // test depth before shading, which is what makes covered sky and water
    // cheap.
#if ALPHA_FUNC != D3DCMP_ALWAYS
    if (!passes(floor(result.a * 255.0 + 0.5))) discard;
#endif
    fragColor = result;
}
)";

GLenum BlendFactor(uint32_t b)
{
    switch (b) {
        case D3DBLEND_ZERO:
            return GL_ZERO;
        case D3DBLEND_ONE:
            return GL_ONE;
        case D3DBLEND_SRCCOLOR:
            return GL_SRC_COLOR;
        case D3DBLEND_INVSRCCOLOR:
            return GL_ONE_MINUS_SRC_COLOR;
        case D3DBLEND_SRCALPHA:
            return GL_SRC_ALPHA;
        case D3DBLEND_INVSRCALPHA:
            return GL_ONE_MINUS_SRC_ALPHA;
        case D3DBLEND_DESTALPHA:
            return GL_DST_ALPHA;
        case D3DBLEND_INVDESTALPHA:
            return GL_ONE_MINUS_DST_ALPHA;
        case D3DBLEND_DESTCOLOR:
            return GL_DST_COLOR;
        case D3DBLEND_INVDESTCOLOR:
            return GL_ONE_MINUS_DST_COLOR;
        default:
            return GL_ONE;
    }
}

GLenum CompareFunc(uint32_t f)
{
    switch (f) {
        case D3DCMP_NEVER:
            return GL_NEVER;
        case D3DCMP_LESS:
            return GL_LESS;
        case D3DCMP_EQUAL:
            return GL_EQUAL;
        case D3DCMP_LESSEQUAL:
            return GL_LEQUAL;
        case D3DCMP_GREATER:
            return GL_GREATER;
        case D3DCMP_NOTEQUAL:
            return GL_NOTEQUAL;
        case D3DCMP_GREATEREQUAL:
            return GL_GEQUAL;
        default:
            return GL_ALWAYS;
    }
}

GLenum WrapMode(uint32_t a)
{
    if (a == D3DTADDRESS_CLAMP) return GL_CLAMP_TO_EDGE;
    if (a == D3DTADDRESS_MIRROR) return GL_MIRRORED_REPEAT;
    return GL_REPEAT;
}

void ColorUniform(QOpenGLFunctions_3_3_Core* gl, int loc, const D3DCOLORVALUE& c)
{
    gl->glUniform4f(loc, c.r, c.g, c.b, c.a);
}

float BitsFloat(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

bool ValidFVF(uint32_t fvf) { return fvf == D3DFVF_VERTEX || fvf == D3DFVF_LVERTEX || fvf == D3DFVF_TLVERTEX; }

GLenum GLPrimitive(D3DPRIMITIVETYPE t)
{
    switch (t) {
        case D3DPT_POINTLIST:
            return GL_POINTS;
        case D3DPT_LINELIST:
            return GL_LINES;
        case D3DPT_LINESTRIP:
            return GL_LINE_STRIP;
        case D3DPT_TRIANGLELIST:
            return GL_TRIANGLES;
        case D3DPT_TRIANGLESTRIP:
            return GL_TRIANGLE_STRIP;
        case D3DPT_TRIANGLEFAN:
            return GL_TRIANGLE_FAN;
        default:
            return GL_INVALID_ENUM;
    }
}

}  // namespace

std::function<void()> GfxAfterSlowStep;

int GfxLiveGLObjects() { return g_liveGLObjects; }
void GfxCountGLObjects(int delta) { g_liveGLObjects += delta; }

TGfxDevice::TGfxDevice(QOpenGLFunctions_3_3_Core* gl, std::function<void()> ensureTarget)
    : m_gl(gl), m_ensureTarget(std::move(ensureTarget))
{
    m_world = m_view = m_proj = IdentityMatrix();
    // Direct3D 7's states at device creation.
    m_rs[D3DRENDERSTATE_ZENABLE] = 1;
    m_rs[D3DRENDERSTATE_FILLMODE] = D3DFILL_SOLID;
    m_rs[D3DRENDERSTATE_SHADEMODE] = D3DSHADE_GOURAUD;
    m_rs[D3DRENDERSTATE_ZWRITEENABLE] = 1;
    m_rs[D3DRENDERSTATE_SRCBLEND] = D3DBLEND_ONE;
    m_rs[D3DRENDERSTATE_DESTBLEND] = D3DBLEND_ZERO;
    m_rs[D3DRENDERSTATE_CULLMODE] = D3DCULL_CCW;
    m_rs[D3DRENDERSTATE_ZFUNC] = D3DCMP_LESSEQUAL;
    m_rs[D3DRENDERSTATE_ALPHAFUNC] = D3DCMP_ALWAYS;
    m_rs[D3DRENDERSTATE_TEXTUREFACTOR] = 0xFFFFFFFFu;
    m_rs[D3DRENDERSTATE_LIGHTING] = 1;
    for (uint32_t s = 0; s < kStageCount; ++s) {
        m_tss[s][D3DTSS_COLOROP] = (s == 0) ? D3DTOP_MODULATE : D3DTOP_DISABLE;
        m_tss[s][D3DTSS_COLORARG1] = D3DTA_TEXTURE;
        m_tss[s][D3DTSS_COLORARG2] = D3DTA_CURRENT;
        m_tss[s][D3DTSS_ALPHAOP] = (s == 0) ? D3DTOP_SELECTARG1 : D3DTOP_DISABLE;
        m_tss[s][D3DTSS_ALPHAARG1] = D3DTA_TEXTURE;
        m_tss[s][D3DTSS_ALPHAARG2] = D3DTA_CURRENT;
        m_tss[s][D3DTSS_ADDRESSU] = D3DTADDRESS_WRAP;
        m_tss[s][D3DTSS_ADDRESSV] = D3DTADDRESS_WRAP;
        m_tss[s][D3DTSS_MAGFILTER] = D3DTFG_POINT;
        m_tss[s][D3DTSS_MINFILTER] = D3DTFN_POINT;
        m_tss[s][D3DTSS_MIPFILTER] = D3DTFP_NONE;
    }
}

TGfxDevice::~TGfxDevice() { Release(); }

void TGfxDevice::Release()
{
    if (!m_gl) return;
    auto drop = [&](unsigned& name, auto del) {
        if (name) {
            del(name);
            name = 0;
            GfxCountGLObjects(-1);
        }
    };
    for (TProgram& p : m_programs) drop(p.name, [&](unsigned n) { m_gl->glDeleteProgram(n); });
    m_programs.clear();
    m_current = -1;
    drop(m_vao, [&](unsigned n) { m_gl->glDeleteVertexArrays(1, &n); });
    drop(m_vbo, [&](unsigned n) { m_gl->glDeleteBuffers(1, &n); });
    drop(m_ibo, [&](unsigned n) { m_gl->glDeleteBuffers(1, &n); });
    drop(m_sampler, [&](unsigned n) { m_gl->glDeleteSamplers(1, &n); });
    m_gl = nullptr;
}

bool TGfxDevice::Init()
{
    Target();
    // The program for the states at creation: a shader that does not build
    // shows here and not at the first draw.
    if (FindProgram(ProgramKeyFor(D3DFVF_VERTEX)) < 0) return false;

    m_gl->glGenVertexArrays(1, &m_vao);
    m_gl->glGenBuffers(1, &m_vbo);
    m_gl->glGenBuffers(1, &m_ibo);
    m_gl->glGenSamplers(1, &m_sampler);
    GfxCountGLObjects(4);
    // Room for the largest draws of a frame; grown only when a draw is larger.
    m_vboCap = 4u << 20;
    m_iboCap = 1u << 20;
    m_gl->glBindVertexArray(m_vao);
    m_gl->glBindBuffer(GL_ARRAY_BUFFER, m_vbo);
    m_gl->glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(m_vboCap), nullptr, GL_STREAM_DRAW);
    m_gl->glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m_ibo);
    m_gl->glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(m_iboCap), nullptr, GL_STREAM_DRAW);
    m_glDirty = true;
    return true;
}

TGfxDevice::TProgramKey TGfxDevice::ProgramKeyFor(uint32_t fvf) const
{
    TProgramKey k;
    const uint32_t* ts = m_tss[0];
    k.screen = (fvf & D3DFVF_XYZRHW) != 0;
    // Only the states the chosen path reads: fewer programs for one picture.
    if (!k.screen) {
        k.lighting = m_rs[D3DRENDERSTATE_LIGHTING] != 0;
        k.hasColor = (fvf & D3DFVF_DIFFUSE) != 0;
        if (k.lighting) {
            k.hasNormal = (fvf & D3DFVF_NORMAL) != 0;
            k.lightOn = ActiveLight() >= 0;
            k.normalize = k.hasNormal && k.lightOn && m_rs[D3DRENDERSTATE_NORMALIZENORMALS] != 0;
        }
    }
    k.hasTex = m_tex[0] && m_tex[0]->tex;
    // The shader passes the diffuse colour on for any operation it does not
    // know and reads an argument's low four bits only.
    auto op = [](uint32_t o) { return (o <= D3DTOP_BLENDFACTORALPHA) ? o : uint32_t(D3DTOP_DISABLE); };
    k.colorOp = op(ts[D3DTSS_COLOROP]);
    k.colorArg1 = ts[D3DTSS_COLORARG1] & 15;
    k.colorArg2 = ts[D3DTSS_COLORARG2] & 15;
    k.alphaOp = op(ts[D3DTSS_ALPHAOP]);
    k.alphaArg1 = ts[D3DTSS_ALPHAARG1] & 15;
    k.alphaArg2 = ts[D3DTSS_ALPHAARG2] & 15;
    const uint32_t func = m_rs[D3DRENDERSTATE_ALPHAFUNC];
    const bool test = m_rs[D3DRENDERSTATE_ALPHATESTENABLE] != 0 && func >= D3DCMP_NEVER && func < D3DCMP_ALWAYS;
    k.alphaFunc = test ? func : uint32_t(D3DCMP_ALWAYS);
    return k;
}

int TGfxDevice::FindProgram(const TProgramKey& key)
{
    if (m_current >= 0 && m_programs[size_t(m_current)].key == key) return m_current;
    for (size_t i = 0; i < m_programs.size(); ++i)
        if (m_programs[i].key == key) return int(i);

    std::string defines = ShaderPreamble();
    auto define = [&](const char* name, uint32_t value) {
        defines += std::string("#define ") + name + " " + std::to_string(value) + "\n";
    };
    define("SCREEN", key.screen);
    define("LIGHTING", key.lighting);
    define("HAS_NORMAL", key.hasNormal);
    define("HAS_COLOR", key.hasColor);
    define("LIGHT_ON", key.lightOn);
    define("NORMALIZE", key.normalize);
    define("HAS_TEX", key.hasTex);
    define("COLOR_OP", key.colorOp);
    define("COLOR_ARG1", key.colorArg1);
    define("COLOR_ARG2", key.colorArg2);
    define("ALPHA_OP", key.alphaOp);
    define("ALPHA_ARG1", key.alphaArg1);
    define("ALPHA_ARG2", key.alphaArg2);
    define("ALPHA_FUNC", key.alphaFunc);

    auto compile = [&](GLenum kind, const char* src, unsigned& out) {
        out = m_gl->glCreateShader(kind);
        m_gl->glShaderSource(out, 1, &src, nullptr);
        m_gl->glCompileShader(out);
        GLint ok = 0;
        m_gl->glGetShaderiv(out, GL_COMPILE_STATUS, &ok);
        if (!ok) {
            char log[1024] = {};
            m_gl->glGetShaderInfoLog(out, sizeof log - 1, nullptr, log);
            m_error = std::string("shader compile failed: ") + log;
        }
        return ok != 0;
    };
    unsigned vs = 0, fs = 0;
    const std::string vertex = defines + kVertexShader, fragment = defines + kFragmentShader;
    bool ok = compile(GL_VERTEX_SHADER, vertex.c_str(), vs) && compile(GL_FRAGMENT_SHADER, fragment.c_str(), fs);
    TProgram p;
    p.key = key;
    if (ok) {
        p.name = m_gl->glCreateProgram();
        GfxCountGLObjects(1);
        m_gl->glAttachShader(p.name, vs);
        m_gl->glAttachShader(p.name, fs);
        m_gl->glLinkProgram(p.name);
        GLint linked = 0;
        m_gl->glGetProgramiv(p.name, GL_LINK_STATUS, &linked);
        if (!linked) {
            char log[1024] = {};
            m_gl->glGetProgramInfoLog(p.name, sizeof log - 1, nullptr, log);
            m_error = std::string("shader link failed: ") + log;
            m_gl->glDeleteProgram(p.name);
            GfxCountGLObjects(-1);
            ok = false;
        }
    }
    if (vs) m_gl->glDeleteShader(vs);
    if (fs) m_gl->glDeleteShader(fs);
    if (!ok) return -1;

    // A uniform the program does not use reads as -1, which GL ignores.
    auto loc = [&](const char* n) { return m_gl->glGetUniformLocation(p.name, n); };
    p.loc = {loc("uWVP"),         loc("uWorld"),    loc("uVP"),           loc("uMatDiffuse"),   loc("uMatAmbient"),
             loc("uMatEmissive"), loc("uLightDir"), loc("uLightDiffuse"), loc("uLightAmbient"), loc("uGlobalAmbient"),
             loc("uTex"),         loc("uTFactor"),  loc("uAlphaRef"),     loc("uLodBias")};
    m_programs.push_back(p);
    if (GfxAfterSlowStep) GfxAfterSlowStep();
    return int(m_programs.size() - 1);
}

int TGfxDevice::ActiveLight() const
{
    for (int i = 0; i < int(kLightCount); ++i)
        if (m_lightOn[i] && m_light[i].dltType == D3DLIGHT_DIRECTIONAL) return i;
    return -1;
}

HRESULT TGfxDevice::SetTransform(D3DTRANSFORMSTATETYPE t, const D3DMATRIX& m)
{
    switch (t) {
        case D3DTRANSFORMSTATE_WORLD:
            m_world = m;
            break;
        case D3DTRANSFORMSTATE_VIEW:
            m_view = m;
            break;
        case D3DTRANSFORMSTATE_PROJECTION:
            m_proj = m;
            break;
        default:
            return DDERR_INVALIDPARAMS;
    }
    m_transformDirty = true;
    return D3D_OK;
}

HRESULT TGfxDevice::GetTransform(D3DTRANSFORMSTATETYPE t, D3DMATRIX& m) const
{
    switch (t) {
        case D3DTRANSFORMSTATE_WORLD:
            m = m_world;
            break;
        case D3DTRANSFORMSTATE_VIEW:
            m = m_view;
            break;
        case D3DTRANSFORMSTATE_PROJECTION:
            m = m_proj;
            break;
        default:
            return DDERR_INVALIDPARAMS;
    }
    return D3D_OK;
}

HRESULT TGfxDevice::SetRenderState(D3DRENDERSTATETYPE s, uint32_t v)
{
    if (uint32_t(s) >= kRenderStateCount) return DDERR_INVALIDPARAMS;
    m_rs[s] = v;
    if (s == D3DRENDERSTATE_AMBIENT || s == D3DRENDERSTATE_NORMALIZENORMALS) m_lightDirty = true;
    return D3D_OK;
}

HRESULT TGfxDevice::GetRenderState(D3DRENDERSTATETYPE s, uint32_t& v) const
{
    if (uint32_t(s) >= kRenderStateCount) return DDERR_INVALIDPARAMS;
    v = m_rs[s];
    return D3D_OK;
}

HRESULT TGfxDevice::SetTextureStageState(uint32_t stage, D3DTEXTURESTAGESTATETYPE s, uint32_t v)
{
    if (stage >= kStageCount || uint32_t(s) >= kStageStateCount) return DDERR_INVALIDPARAMS;
    m_tss[stage][s] = v;
    if (s == D3DTSS_ADDRESS) m_tss[stage][D3DTSS_ADDRESSU] = m_tss[stage][D3DTSS_ADDRESSV] = v;
    return D3D_OK;
}

HRESULT TGfxDevice::GetTextureStageState(uint32_t stage, D3DTEXTURESTAGESTATETYPE s, uint32_t& v) const
{
    if (stage >= kStageCount || uint32_t(s) >= kStageStateCount) return DDERR_INVALIDPARAMS;
    v = m_tss[stage][s];
    return D3D_OK;
}

HRESULT TGfxDevice::SetMaterial(const D3DMATERIAL7& m)
{
    m_mat = m;
    m_materialDirty = true;
    return D3D_OK;
}

HRESULT TGfxDevice::GetMaterial(D3DMATERIAL7& m) const
{
    m = m_mat;
    return D3D_OK;
}

HRESULT TGfxDevice::SetLight(uint32_t index, const D3DLIGHT7& l)
{
    if (index >= kLightCount) return DDERR_INVALIDPARAMS;
    m_light[index] = l;
    m_lightDirty = true;
    return D3D_OK;
}

HRESULT TGfxDevice::LightEnable(uint32_t index, bool on)
{
    if (index >= kLightCount) return DDERR_INVALIDPARAMS;
    m_lightOn[index] = on;
    m_lightDirty = true;
    return D3D_OK;
}

HRESULT TGfxDevice::SetTexture(uint32_t stage, TDDSurface* s)
{
    if (stage >= kStageCount) return DDERR_INVALIDPARAMS;
    m_tex[stage] = s;
    return D3D_OK;
}

HRESULT TGfxDevice::SetViewport(const D3DVIEWPORT7& vp)
{
    if (vp.dwWidth == 0 || vp.dwHeight == 0) return DDERR_INVALIDPARAMS;
    m_vp = vp;
    m_glDirty = true;
    return D3D_OK;
}

HRESULT TGfxDevice::Clear(uint32_t flags, uint32_t color, float z)
{
    if (!m_gl) return DDERR_INVALIDPARAMS;
    Target();
    GLbitfield mask = 0;
    if (flags & D3DCLEAR_TARGET) {
        mask |= GL_COLOR_BUFFER_BIT;
        m_gl->glClearColor(float((color >> 16) & 0xFF) / 255.f, float((color >> 8) & 0xFF) / 255.f,
                           float(color & 0xFF) / 255.f, float(color >> 24) / 255.f);
    }
    if (flags & D3DCLEAR_ZBUFFER) {
        mask |= GL_DEPTH_BUFFER_BIT;
        m_gl->glClearDepth(z);
        // A clear writes depth whatever the write-enable state says.
        m_gl->glDepthMask(GL_TRUE);
        m_sent.rs[D3DRENDERSTATE_ZWRITEENABLE] = 1;
    }
    m_gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    m_gl->glEnable(GL_SCISSOR_TEST);
    m_gl->glScissor(GLint(m_vp.dwX), GLint(m_vp.dwY), GLsizei(m_vp.dwWidth), GLsizei(m_vp.dwHeight));
    m_gl->glClear(mask);
    m_gl->glDisable(GL_SCISSOR_TEST);
    return D3D_OK;
}

void TGfxDevice::LeaveGLState()
{
    if (!m_gl) return;
    Target();
    auto& gl = *m_gl;
    gl.glBindSampler(0, 0);
    gl.glActiveTexture(GL_TEXTURE0);
    gl.glBindTexture(GL_TEXTURE_2D, 0);
    gl.glDisable(GL_CULL_FACE);
    gl.glFrontFace(GL_CCW);
    gl.glDisable(GL_DEPTH_TEST);
    gl.glDepthMask(GL_TRUE);
    gl.glDisable(GL_BLEND);
    gl.glBlendFunc(GL_ONE, GL_ZERO);
    gl.glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    gl.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    gl.glDepthRange(0, 1);
    gl.glBindVertexArray(0);
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);
    gl.glUseProgram(0);
    m_glDirty = true;
}

HRESULT TGfxDevice::BeginScene()
{
    Target();
    m_drawCalls = 0;
    return D3D_OK;
}

HRESULT TGfxDevice::EndScene()
{
    Target();
    m_gl->glFlush();
    return D3D_OK;
}

HRESULT TGfxDevice::DrawPrimitive(D3DPRIMITIVETYPE type, uint32_t fvf, const void* vertices, uint32_t vertexCount,
                                  uint32_t)
{
    return Draw(type, fvf, vertices, vertexCount, nullptr, 0);
}

HRESULT TGfxDevice::DrawIndexedPrimitive(D3DPRIMITIVETYPE type, uint32_t fvf, const void* vertices,
                                         uint32_t vertexCount, const uint16_t* indices, uint32_t indexCount, uint32_t)
{
    if (!indices) return DDERR_INVALIDPARAMS;
    return Draw(type, fvf, vertices, vertexCount, indices, indexCount);
}

size_t TGfxDevice::Stream(unsigned buffer, size_t& capacity, size_t& head, const void* data, size_t bytes,
                          unsigned target)
{
    m_gl->glBindBuffer(target, buffer);
    if (bytes > capacity) {
        while (capacity < bytes) capacity *= 2;
        m_gl->glBufferData(target, GLsizeiptr(capacity), nullptr, GL_STREAM_DRAW);
        head = 0;
    } else if (head + bytes > capacity) {
        // Orphan the store: the driver keeps the old one for draws in flight.
        m_gl->glBufferData(target, GLsizeiptr(capacity), nullptr, GL_STREAM_DRAW);
        head = 0;
    }
    size_t at = head;
    m_gl->glBufferSubData(target, GLintptr(at), GLsizeiptr(bytes), data);
    head = (at + bytes + 31) & ~size_t(31);
    return at;
}

bool TGfxDevice::ApplyState(uint32_t fvf)
{
    auto& gl = *m_gl;
    const bool all = m_glDirty;
    const int program = FindProgram(ProgramKeyFor(fvf));
    if (program < 0) return false;
    // Uniforms belong to a program: the one switched to gets them all again.
    const bool fresh = all || program != m_current;
    const TLoc& loc = m_programs[size_t(program)].loc;
    if (fresh) {
        gl.glUseProgram(m_programs[size_t(program)].name);
        m_current = program;
        gl.glUniform4f(loc.vp, float(m_vp.dwX), float(m_vp.dwY), float(m_vp.dwWidth), float(m_vp.dwHeight));
        gl.glUniform1i(loc.tex, 0);
        m_transformDirty = m_materialDirty = m_lightDirty = true;
    }
    if (all) {
        gl.glBindVertexArray(m_vao);
        gl.glViewport(GLint(m_vp.dwX), GLint(m_vp.dwY), GLsizei(m_vp.dwWidth), GLsizei(m_vp.dwHeight));
        gl.glDepthRange(m_vp.dvMinZ, m_vp.dvMaxZ);
        gl.glActiveTexture(GL_TEXTURE0);
        gl.glBindSampler(0, m_sampler);
        gl.glDisable(GL_SCISSOR_TEST);
        gl.glDisable(GL_STENCIL_TEST);
        gl.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    }
    auto changed = [&](uint32_t s) { return all || m_sent.rs[s] != m_rs[s]; };
    const uint32_t* rs = m_rs;

    if (changed(D3DRENDERSTATE_ZENABLE)) {
        if (rs[D3DRENDERSTATE_ZENABLE])
            gl.glEnable(GL_DEPTH_TEST);
        else
            gl.glDisable(GL_DEPTH_TEST);
    }
    if (changed(D3DRENDERSTATE_ZWRITEENABLE)) gl.glDepthMask(rs[D3DRENDERSTATE_ZWRITEENABLE] ? GL_TRUE : GL_FALSE);
    if (changed(D3DRENDERSTATE_ZFUNC)) gl.glDepthFunc(CompareFunc(rs[D3DRENDERSTATE_ZFUNC]));
    if (changed(D3DRENDERSTATE_ZBIAS)) {
        // Each step pulls the faces one depth slope and two depth units closer.
        const float bias = float(std::min<uint32_t>(rs[D3DRENDERSTATE_ZBIAS], 16));
        if (bias > 0) {
            gl.glEnable(GL_POLYGON_OFFSET_FILL);
            gl.glPolygonOffset(-bias, -2 * bias);
        } else {
            gl.glDisable(GL_POLYGON_OFFSET_FILL);
        }
    }
    if (changed(D3DRENDERSTATE_ALPHABLENDENABLE)) {
        if (rs[D3DRENDERSTATE_ALPHABLENDENABLE])
            gl.glEnable(GL_BLEND);
        else
            gl.glDisable(GL_BLEND);
    }
    if (changed(D3DRENDERSTATE_SRCBLEND) || changed(D3DRENDERSTATE_DESTBLEND))
        gl.glBlendFunc(BlendFactor(rs[D3DRENDERSTATE_SRCBLEND]), BlendFactor(rs[D3DRENDERSTATE_DESTBLEND]));
    if (changed(D3DRENDERSTATE_CULLMODE)) {
        // Front faces are clockwise on screen; nothing flips the image on
        // its way from clip space to the render surface.
        gl.glFrontFace(GL_CW);
        const uint32_t cull = rs[D3DRENDERSTATE_CULLMODE];
        if (cull == D3DCULL_CCW || cull == D3DCULL_CW) {
            gl.glEnable(GL_CULL_FACE);
            gl.glCullFace(cull == D3DCULL_CCW ? GL_BACK : GL_FRONT);
        } else {
            gl.glDisable(GL_CULL_FACE);
        }
    }
    if (changed(D3DRENDERSTATE_FILLMODE)) {
        const uint32_t f = rs[D3DRENDERSTATE_FILLMODE];
        gl.glPolygonMode(GL_FRONT_AND_BACK,
                         (f == D3DFILL_POINT) ? GL_POINT : ((f == D3DFILL_WIREFRAME) ? GL_LINE : GL_FILL));
    }
    if (fresh || changed(D3DRENDERSTATE_ALPHAREF))
        gl.glUniform1f(loc.alphaRef, float(rs[D3DRENDERSTATE_ALPHAREF] & 0xFF));
    if (fresh || changed(D3DRENDERSTATE_TEXTUREFACTOR)) {
        const uint32_t f = rs[D3DRENDERSTATE_TEXTUREFACTOR];
        gl.glUniform4f(loc.tfactor, float((f >> 16) & 0xFF) / 255.f, float((f >> 8) & 0xFF) / 255.f,
                       float(f & 0xFF) / 255.f, float(f >> 24) / 255.f);
    }
    std::memcpy(m_sent.rs, m_rs, sizeof m_rs);

    const uint32_t* ts = m_tss[0];
    auto tchanged = [&](uint32_t s) { return all || m_sent.tss[s] != ts[s]; };
    if (fresh || tchanged(D3DTSS_MIPMAPLODBIAS)) gl.glUniform1f(loc.lodBias, BitsFloat(ts[D3DTSS_MIPMAPLODBIAS]));
    if (tchanged(D3DTSS_MAGFILTER))
        gl.glSamplerParameteri(m_sampler, GL_TEXTURE_MAG_FILTER,
                               (ts[D3DTSS_MAGFILTER] == D3DTFG_POINT) ? GL_NEAREST : GL_LINEAR);
    if (tchanged(D3DTSS_MINFILTER) || tchanged(D3DTSS_MIPFILTER)) {
        const bool lin = ts[D3DTSS_MINFILTER] != D3DTFN_POINT;
        GLint f = lin ? GL_LINEAR : GL_NEAREST;
        if (ts[D3DTSS_MIPFILTER] == D3DTFP_POINT) f = lin ? GL_LINEAR_MIPMAP_NEAREST : GL_NEAREST_MIPMAP_NEAREST;
        if (ts[D3DTSS_MIPFILTER] == D3DTFP_LINEAR) f = lin ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_LINEAR;
        gl.glSamplerParameteri(m_sampler, GL_TEXTURE_MIN_FILTER, f);
    }
    if (tchanged(D3DTSS_ADDRESSU))
        gl.glSamplerParameteri(m_sampler, GL_TEXTURE_WRAP_S, GLint(WrapMode(ts[D3DTSS_ADDRESSU])));
    if (tchanged(D3DTSS_ADDRESSV))
        gl.glSamplerParameteri(m_sampler, GL_TEXTURE_WRAP_T, GLint(WrapMode(ts[D3DTSS_ADDRESSV])));
    std::memcpy(m_sent.tss, ts, sizeof m_sent.tss);

    const unsigned tex = m_tex[0] ? m_tex[0]->tex : 0;
    if (all || m_sent.tex != tex) {
        gl.glBindTexture(GL_TEXTURE_2D, tex);
        m_sent.tex = tex;
    }

    if (m_transformDirty) {
        const D3DMATRIX wvp = m_world * m_view * m_proj;
        gl.glUniformMatrix4fv(loc.wvp, 1, GL_FALSE, &wvp.m[0][0]);
        gl.glUniformMatrix4fv(loc.world, 1, GL_FALSE, &m_world.m[0][0]);
        m_transformDirty = false;
    }
    if (m_materialDirty) {
        ColorUniform(m_gl, loc.matDiffuse, m_mat.diffuse);
        ColorUniform(m_gl, loc.matAmbient, m_mat.ambient);
        ColorUniform(m_gl, loc.matEmissive, m_mat.emissive);
        m_materialDirty = false;
    }
    if (m_lightDirty) {
        const int on = ActiveLight();
        if (on >= 0) {
            const D3DLIGHT7& l = m_light[on];
            D3DVECTOR d = l.dvDirection;
            const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
            if (len > 0) d = d / len;
            gl.glUniform3f(loc.lightDir, d.x, d.y, d.z);
            ColorUniform(m_gl, loc.lightDiffuse, l.dcvDiffuse);
            ColorUniform(m_gl, loc.lightAmbient, l.dcvAmbient);
        }
        const uint32_t a = m_rs[D3DRENDERSTATE_AMBIENT];
        gl.glUniform4f(loc.globalAmbient, float((a >> 16) & 0xFF) / 255.f, float((a >> 8) & 0xFF) / 255.f,
                       float(a & 0xFF) / 255.f, float(a >> 24) / 255.f);
        m_lightDirty = false;
    }
    m_glDirty = false;
    return true;
}

HRESULT TGfxDevice::Draw(D3DPRIMITIVETYPE type, uint32_t fvf, const void* vertices, uint32_t vertexCount,
                         const uint16_t* indices, uint32_t indexCount)
{
    if (!m_gl || m_programs.empty()) return DDERR_INVALIDPARAMS;
    const GLenum prim = GLPrimitive(type);
    if (prim == GL_INVALID_ENUM) return D3DERR_INVALIDPRIMITIVETYPE;
    if (!ValidFVF(fvf) || !vertices || vertexCount == 0) return DDERR_INVALIDPARAMS;
    const uint32_t count = indices ? indexCount : vertexCount;
    if (count == 0) return D3D_OK;
    if (indices) {
        // An index past the vertices would read memory the caller never gave.
        for (uint32_t i = 0; i < indexCount; ++i)
            if (indices[i] >= vertexCount) return DDERR_INVALIDPARAMS;
    }
    Target();
    if (!ApplyState(fvf)) return DDERR_INVALIDPARAMS;
    auto& gl = *m_gl;
    using Clock = std::chrono::steady_clock;
    Clock::time_point t0;
    if (TimeGLCalls) t0 = Clock::now();

    // All three formats are 32 bytes; each field sits where its record has it.
    static_assert(sizeof(D3DVERTEX) == 32 && sizeof(D3DLVERTEX) == 32 && sizeof(D3DTLVERTEX) == 32);
    static_assert(offsetof(D3DTLVERTEX, color) == offsetof(D3DLVERTEX, color));
    static_assert(offsetof(D3DTLVERTEX, tu) == offsetof(D3DVERTEX, tu) &&
                  offsetof(D3DLVERTEX, tu) == offsetof(D3DVERTEX, tu));
    const size_t stride = sizeof(D3DVERTEX);
    const size_t at = Stream(m_vbo, m_vboCap, m_vboHead, vertices, stride * vertexCount, GL_ARRAY_BUFFER);
    {
        // The stream offset moves with every draw, so the layout is set each time.
        const auto off = [at](size_t o) { return reinterpret_cast<const void*>(at + o); };
        if (fvf & D3DFVF_XYZRHW) {
            gl.glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, stride, off(0));
        } else {
            gl.glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, off(0));
        }
        gl.glEnableVertexAttribArray(0);
        if (fvf & D3DFVF_NORMAL) {
            gl.glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, stride, off(offsetof(D3DVERTEX, nx)));
            gl.glEnableVertexAttribArray(1);
        } else {
            gl.glDisableVertexAttribArray(1);
        }
        if (fvf & D3DFVF_DIFFUSE) {
            // 0xAARRGGBB in memory is B, G, R, A.
            gl.glVertexAttribPointer(2, GL_BGRA, GL_UNSIGNED_BYTE, GL_TRUE, stride, off(offsetof(D3DLVERTEX, color)));
            gl.glEnableVertexAttribArray(2);
        } else {
            gl.glDisableVertexAttribArray(2);
        }
        gl.glVertexAttribPointer(3, 2, GL_FLOAT, GL_FALSE, stride, off(offsetof(D3DVERTEX, tu)));
        gl.glEnableVertexAttribArray(3);
    }
    if (indices) {
        const size_t iat = Stream(m_ibo, m_iboCap, m_iboHead, indices, 2 * size_t(indexCount), GL_ELEMENT_ARRAY_BUFFER);
        gl.glDrawElements(prim, GLsizei(indexCount), GL_UNSIGNED_SHORT, reinterpret_cast<const void*>(iat));
    } else {
        gl.glDrawArrays(prim, 0, GLsizei(vertexCount));
    }
    if (TimeGLCalls) GLSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    ++m_drawCalls;
    return D3D_OK;
}
