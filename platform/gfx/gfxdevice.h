// The device layer: calls shaped like the Direct3D 7 immediate-mode device,
// emulating on OpenGL 3.3 core exactly the fixed-function states the game
// sets. Row-vector matrices, 0..w clip depth, clockwise front faces.
#pragma once

#include "platform/d3d/d3dtypes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QOpenGLFunctions_3_3_Core;

using HRESULT = int32_t;
constexpr HRESULT D3D_OK = 0;
constexpr HRESULT DDERR_INVALIDPARAMS = int32_t(0x80070057u);
constexpr HRESULT D3DERR_INVALIDPRIMITIVETYPE = int32_t(0x88760802u);

struct D3DCOLORVALUE {
    float r = 0, g = 0, b = 0, a = 0;
};

struct D3DMATERIAL7 {
    D3DCOLORVALUE diffuse, ambient, specular, emissive;
    float power = 0;
};

enum D3DLIGHTTYPE : uint32_t { D3DLIGHT_POINT = 1, D3DLIGHT_SPOT = 2, D3DLIGHT_DIRECTIONAL = 3 };

struct D3DLIGHT7 {
    D3DLIGHTTYPE dltType = D3DLIGHT_DIRECTIONAL;
    D3DCOLORVALUE dcvDiffuse, dcvSpecular, dcvAmbient;
    D3DVECTOR dvPosition, dvDirection;
    float dvRange = 0, dvFalloff = 0;
    float dvAttenuation0 = 0, dvAttenuation1 = 0, dvAttenuation2 = 0;
    float dvTheta = 0, dvPhi = 0;
};

enum D3DTRANSFORMSTATETYPE : uint32_t {
    D3DTRANSFORMSTATE_WORLD = 1,
    D3DTRANSFORMSTATE_VIEW = 2,
    D3DTRANSFORMSTATE_PROJECTION = 3,
};

enum D3DRENDERSTATETYPE : uint32_t {
    D3DRENDERSTATE_ZENABLE = 7,
    D3DRENDERSTATE_FILLMODE = 8,
    D3DRENDERSTATE_SHADEMODE = 9,
    D3DRENDERSTATE_ZWRITEENABLE = 14,
    D3DRENDERSTATE_ALPHATESTENABLE = 15,
    D3DRENDERSTATE_SRCBLEND = 19,
    D3DRENDERSTATE_DESTBLEND = 20,
    D3DRENDERSTATE_CULLMODE = 22,
    D3DRENDERSTATE_ZFUNC = 23,
    D3DRENDERSTATE_ALPHAREF = 24,
    D3DRENDERSTATE_ALPHAFUNC = 25,
    D3DRENDERSTATE_DITHERENABLE = 26,
    D3DRENDERSTATE_ALPHABLENDENABLE = 27,
    D3DRENDERSTATE_FOGENABLE = 28,
    D3DRENDERSTATE_SPECULARENABLE = 29,
    D3DRENDERSTATE_ZBIAS = 47,  // 0 … 16: higher draws in front of coplanar lower
    D3DRENDERSTATE_TEXTUREFACTOR = 60,
    D3DRENDERSTATE_LIGHTING = 137,
    D3DRENDERSTATE_AMBIENT = 139,
    D3DRENDERSTATE_NORMALIZENORMALS = 143,
};
constexpr uint32_t kRenderStateCount = 256;

enum D3DTEXTURESTAGESTATETYPE : uint32_t {
    D3DTSS_COLOROP = 1,
    D3DTSS_COLORARG1 = 2,
    D3DTSS_COLORARG2 = 3,
    D3DTSS_ALPHAOP = 4,
    D3DTSS_ALPHAARG1 = 5,
    D3DTSS_ALPHAARG2 = 6,
    D3DTSS_ADDRESS = 12,
    D3DTSS_ADDRESSU = 13,
    D3DTSS_ADDRESSV = 14,
    D3DTSS_MAGFILTER = 16,
    D3DTSS_MINFILTER = 17,
    D3DTSS_MIPFILTER = 18,
    D3DTSS_MIPMAPLODBIAS = 19,
};
constexpr uint32_t kStageStateCount = 32;
constexpr uint32_t kStageCount = 8;
// Lights the device holds (the game uses one).
constexpr uint32_t kLightCount = 8;

enum : uint32_t {
    D3DTOP_DISABLE = 1,
    D3DTOP_SELECTARG1 = 2,
    D3DTOP_SELECTARG2 = 3,
    D3DTOP_MODULATE = 4,
    D3DTOP_MODULATE2X = 5,
    D3DTOP_MODULATE4X = 6,
    D3DTOP_ADD = 7,
    D3DTOP_BLENDDIFFUSEALPHA = 12,
    D3DTOP_BLENDTEXTUREALPHA = 13,
    D3DTOP_BLENDFACTORALPHA = 14,
};
enum : uint32_t { D3DTA_DIFFUSE = 0, D3DTA_CURRENT = 1, D3DTA_TEXTURE = 2, D3DTA_TFACTOR = 3 };
enum : uint32_t { D3DTFG_POINT = 1, D3DTFG_LINEAR = 2 };
enum : uint32_t { D3DTFN_POINT = 1, D3DTFN_LINEAR = 2 };
enum : uint32_t { D3DTFP_NONE = 1, D3DTFP_POINT = 2, D3DTFP_LINEAR = 3 };
enum : uint32_t { D3DTADDRESS_WRAP = 1, D3DTADDRESS_MIRROR = 2, D3DTADDRESS_CLAMP = 3 };
enum : uint32_t {
    D3DCMP_NEVER = 1,
    D3DCMP_LESS = 2,
    D3DCMP_EQUAL = 3,
    D3DCMP_LESSEQUAL = 4,
    D3DCMP_GREATER = 5,
    D3DCMP_NOTEQUAL = 6,
    D3DCMP_GREATEREQUAL = 7,
    D3DCMP_ALWAYS = 8,
};
enum : uint32_t { D3DCULL_NONE = 1, D3DCULL_CW = 2, D3DCULL_CCW = 3 };
enum : uint32_t {
    D3DBLEND_ZERO = 1,
    D3DBLEND_ONE = 2,
    D3DBLEND_SRCCOLOR = 3,
    D3DBLEND_INVSRCCOLOR = 4,
    D3DBLEND_SRCALPHA = 5,
    D3DBLEND_INVSRCALPHA = 6,
    D3DBLEND_DESTALPHA = 7,
    D3DBLEND_INVDESTALPHA = 8,
    D3DBLEND_DESTCOLOR = 9,
    D3DBLEND_INVDESTCOLOR = 10,
};
enum : uint32_t { D3DSHADE_FLAT = 1, D3DSHADE_GOURAUD = 2 };
enum : uint32_t { D3DFILL_POINT = 1, D3DFILL_WIREFRAME = 2, D3DFILL_SOLID = 3 };

enum D3DPRIMITIVETYPE : uint32_t {
    D3DPT_POINTLIST = 1,
    D3DPT_LINELIST = 2,
    D3DPT_LINESTRIP = 3,
    D3DPT_TRIANGLELIST = 4,
    D3DPT_TRIANGLESTRIP = 5,
    D3DPT_TRIANGLEFAN = 6,
};

// Flexible vertex format bits.
enum : uint32_t {
    D3DFVF_XYZ = 0x002,
    D3DFVF_XYZRHW = 0x004,
    D3DFVF_NORMAL = 0x010,
    D3DFVF_RESERVED1 = 0x020,
    D3DFVF_DIFFUSE = 0x040,
    D3DFVF_SPECULAR = 0x080,
    D3DFVF_TEX1 = 0x100,
    D3DFVF_VERTEX = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX1,
    D3DFVF_LVERTEX = D3DFVF_XYZ | D3DFVF_RESERVED1 | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX1,
    D3DFVF_TLVERTEX = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX1,
};

enum : uint32_t { D3DCLEAR_TARGET = 1, D3DCLEAR_ZBUFFER = 2 };

struct D3DVIEWPORT7 {
    uint32_t dwX = 0, dwY = 0, dwWidth = 0, dwHeight = 0;
    float dvMinZ = 0, dvMaxZ = 1;
};

// A texture on the device: the platform surface of the texture components.
struct TDDSurface {
    unsigned tex = 0;  // GL texture name
    int width = 0, height = 0, levels = 1;
};

// Called after each step that can hold the caller's thread for long: a
// shader program built at its first use, which on a software renderer takes
// a good part of a second. The window answers the network there.
extern std::function<void()> GfxAfterSlowStep;

// Live GL objects made by this layer; zero after every StopAll.
int GfxLiveGLObjects();
void GfxCountGLObjects(int delta);

class TGfxDevice {
public:
    // gl: the functions of the context the device draws with; ensureTarget
    // (may be empty) is called before every GL use so that the context is
    // current and the render surface bound, whoever used the context last.
    TGfxDevice(QOpenGLFunctions_3_3_Core* gl, std::function<void()> ensureTarget);
    ~TGfxDevice();
    TGfxDevice(const TGfxDevice&) = delete;
    TGfxDevice& operator=(const TGfxDevice&) = delete;

    // False with ErrorText() when the shader program did not build.
    bool Init();
    const char* ErrorText() const { return m_error.c_str(); }

    HRESULT SetTransform(D3DTRANSFORMSTATETYPE t, const D3DMATRIX& m);
    HRESULT GetTransform(D3DTRANSFORMSTATETYPE t, D3DMATRIX& m) const;
    HRESULT SetRenderState(D3DRENDERSTATETYPE s, uint32_t v);
    HRESULT GetRenderState(D3DRENDERSTATETYPE s, uint32_t& v) const;
    HRESULT SetTextureStageState(uint32_t stage, D3DTEXTURESTAGESTATETYPE s, uint32_t v);
    HRESULT GetTextureStageState(uint32_t stage, D3DTEXTURESTAGESTATETYPE s, uint32_t& v) const;
    HRESULT SetMaterial(const D3DMATERIAL7& m);
    HRESULT GetMaterial(D3DMATERIAL7& m) const;
    HRESULT SetLight(uint32_t index, const D3DLIGHT7& l);
    HRESULT LightEnable(uint32_t index, bool on);
    HRESULT SetTexture(uint32_t stage, TDDSurface* s);
    TDDSurface* GetTexture(uint32_t stage) const { return stage < kStageCount ? m_tex[stage] : nullptr; }
    HRESULT SetViewport(const D3DVIEWPORT7& vp);
    const D3DVIEWPORT7& Viewport() const { return m_vp; }
    // Clears the viewport rectangle; colour 0xAARRGGBB, z 0..1.
    HRESULT Clear(uint32_t flags, uint32_t color, float z);
    HRESULT BeginScene();
    HRESULT EndScene();
    HRESULT DrawPrimitive(D3DPRIMITIVETYPE type, uint32_t fvf, const void* vertices, uint32_t vertexCount,
                          uint32_t flags = 0);
    HRESULT DrawIndexedPrimitive(D3DPRIMITIVETYPE type, uint32_t fvf, const void* vertices, uint32_t vertexCount,
                                 const uint16_t* indices, uint32_t indexCount, uint32_t flags = 0);

    // Someone else (the text canvas) used the context: re-apply every state.
    void InvalidateGLState() { m_glDirty = true; }
    // Hands the context over in OpenGL's default states (no sampler, culling,
    // depth test, blending, program or vertex array), as a painter expects.
    void LeaveGLState();
    // Draw calls since the last BeginScene.
    int DrawCalls() const { return m_drawCalls; }
    // Seconds spent inside GL calls that upload or draw, summed while
    // TimeGLCalls is on (the benchmark's split between our code and the driver).
    bool TimeGLCalls = false;
    double GLSeconds = 0;
    // Releases every GL object; the context must be current.
    void Release();

private:
    // The states a program is built for: the shader's constants in capitals.
    struct TProgramKey {
        bool screen = false, lighting = false, hasNormal = false, hasColor = false, lightOn = false, normalize = false,
             hasTex = false;
        uint32_t colorOp = 0, colorArg1 = 0, colorArg2 = 0, alphaOp = 0, alphaArg1 = 0, alphaArg2 = 0;
        uint32_t alphaFunc = 0;  // D3DCMP_ALWAYS when there is no alpha test
        bool operator==(const TProgramKey&) const = default;
    };
    struct TLoc {
        int wvp, world, vp, matDiffuse, matAmbient, matEmissive, lightDir, lightDiffuse, lightAmbient;
        int globalAmbient, tex, tfactor, alphaRef, lodBias;
    };
    struct TProgram {
        TProgramKey key;
        unsigned name = 0;
        TLoc loc{};
    };
    TProgramKey ProgramKeyFor(uint32_t fvf) const;
    // The index in m_programs of the program for key, built on first use;
    // -1 with ErrorText() when it does not build.
    int FindProgram(const TProgramKey& key);
    // The light the shader uses: the first directional one enabled, or -1.
    int ActiveLight() const;
    bool ApplyState(uint32_t fvf);
    void Target()
    {
        if (m_ensureTarget) m_ensureTarget();
    }
    HRESULT Draw(D3DPRIMITIVETYPE type, uint32_t fvf, const void* vertices, uint32_t vertexCount,
                 const uint16_t* indices, uint32_t indexCount);
    size_t Stream(unsigned buffer, size_t& capacity, size_t& head, const void* data, size_t bytes, unsigned target);

    QOpenGLFunctions_3_3_Core* m_gl;
    std::function<void()> m_ensureTarget;
    std::string m_error;
    // Every program built so far, for the life of the device; a handful.
    std::vector<TProgram> m_programs;
    int m_current = -1;
    unsigned m_vao = 0, m_vbo = 0, m_ibo = 0, m_sampler = 0;
    size_t m_vboCap = 0, m_vboHead = 0, m_iboCap = 0, m_iboHead = 0;
    D3DMATRIX m_world, m_view, m_proj;
    uint32_t m_rs[kRenderStateCount] = {};
    uint32_t m_tss[kStageCount][kStageStateCount] = {};
    D3DMATERIAL7 m_mat;
    D3DLIGHT7 m_light[kLightCount];
    bool m_lightOn[kLightCount] = {};
    TDDSurface* m_tex[kStageCount] = {};
    D3DVIEWPORT7 m_vp;
    bool m_glDirty = true;
    int m_drawCalls = 0;
    // What GL holds now, so that only changes are sent.
    struct GLShadow {
        uint32_t rs[kRenderStateCount];
        uint32_t tss[kStageStateCount];
        unsigned tex;
    } m_sent{};
    bool m_transformDirty = true, m_materialDirty = true, m_lightDirty = true;
};
