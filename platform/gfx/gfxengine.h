// The graphics engine component and its companions: the engine enumerates
// drivers, devices, video modes and z-buffer formats into combo boxes,
// starts and stops the whole OpenGL stack on the output window, keeps the
// table of surfaces it made and raises the events the game runs on.
//
// The scene is drawn into an off-screen framebuffer, the render surface;
// Present copies it onto the window. Everything runs on the main thread.
#pragma once

#include "platform/d3d/d3dtypes.h"
#include "platform/gfx/gfxdevice.h"
#include "platform/xfile/xfile.h"

#include <QObject>
#include <QPainter>
#include <QRect>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QComboBox;
class QImage;
class QOpenGLFramebufferObject;
class QOpenGLPaintDevice;
class QScreen;
class QTimer;
class QWidget;
class TGfxView;

// Raised by the engine's error routine; what() is the engine's error text.
class EGfxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Texture and surface flags.
enum : uint32_t {
    d3dTRANSPARENTWHITE = 1u << 0,
    d3dTRANSPARENTBLACK = 1u << 1,
    d3d16BITSPERPIXEL = 1u << 2,
    d3d32BITSPERPIXEL = 1u << 3,
    d3dCREATEWITHALPHA = 1u << 4,
};

enum TGfxSurfaceType {
    dxstEmptyImage,
    dxstEmptyTexture,
    dxstImage,
    dxstImageList,
    dxstTexture,
    dxstTextureList,
    dxstMipMaps
};
enum TGfxSurfaceDimension { sdFromFile, sdFromScreen, sdExact, sdFromWindow };
enum TGfxMemoryType { dxmtAuto, dxmtSystemMemory, dxmtVideoMemory };
enum TGfxCoopLevel { dxclAlwaysExclusive, dxclNeverExclusive, dxclAuto };
enum TGfxVideoModePolicy { dxvmOnlyWindowed, dxvmOnlyFullScreen, dxvmAuto };
enum TGfxLogType { dxlogNone, dxlogAll };

// A Windows colour value 0x00BBGGRR, as the components' colour settings hold.
constexpr uint32_t GfxRGB(uint32_t r, uint32_t g, uint32_t b)
{
    return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}
// Each byte divided by 256 (not 255), alpha 1.
D3DCOLORVALUE GfxColorValue(uint32_t windowsColor);

struct TGfxVideoMode {
    uint8_t Windowed = 0;
    int32_t Width = 0, Height = 0, BitsPerPixel = 0;
};

struct TGfxDriver {
    std::string Description, Name;
    QScreen* Monitor = nullptr;
};

struct TGfxD3DDevice {
    bool Hardware = false;
    std::string Description, Name;
};

struct TGfxZBufferFormat {
    int DepthBits = 0, StencilBits = 0;
    unsigned GLFormat = 0;  // renderbuffer storage
};

class TGfxEngine;

// A component that holds platform objects only while its engine is active.
class TGfxComponent {
public:
    enum Kind { kSurface, kTexture, kXFile, kLight, kClipper };
    TGfxComponent(TGfxEngine& engine, Kind kind, QObject* owner);
    virtual ~TGfxComponent();
    TGfxComponent(const TGfxComponent&) = delete;
    TGfxComponent& operator=(const TGfxComponent&) = delete;

    // Start raises the engine's error (EGfxError) when it cannot.
    virtual void Start() = 0;
    virtual void Stop() = 0;
    bool Active() const { return m_active; }
    Kind ComponentKind() const { return m_kind; }
    QObject* Owner() const { return m_owner; }
    TGfxEngine& Engine() const { return *m_engine; }
    bool AutoStart = false;

protected:
    TGfxEngine* m_engine;
    Kind m_kind;
    QObject* m_owner;
    bool m_active = false;
    friend class TGfxEngine;
};

// Images turned into textures: one per image, or one with the images as its
// hand-drawn mip levels (dxstMipMaps).
class TGfxSurface : public TGfxComponent {
public:
    explicit TGfxSurface(TGfxEngine& engine, QObject* owner = nullptr);
    ~TGfxSurface() override;
    void Start() override;
    void Stop() override;
    // The platform surface of entry i of the surface list; null when none.
    TDDSurface* Surface(int i = 0) const;

    uint32_t ColorKey = 0;
    uint32_t Flags = 0;
    int ImageIndex = 0;
    std::vector<std::string> Images;
    TGfxMemoryType MemoryType = dxmtAuto;
    int SpecifiedBits = 0, SpecifiedHeight = 0, SpecifiedWidth = 0;
    int Stage = 0;
    TGfxSurfaceDimension SurfaceDimension = sdFromFile;
    TGfxSurfaceType SurfaceType = dxstTexture;

private:
    std::vector<int> m_surfaces;
};

// One texture from one bitmap.
class TGfxTexture : public TGfxComponent {
public:
    explicit TGfxTexture(TGfxEngine& engine, QObject* owner = nullptr);
    ~TGfxTexture() override;
    void Start() override;
    void Stop() override;
    TDDSurface* Surface() const;

    std::string Image;
    uint32_t Flags = 0;
    uint16_t Stage = 0;
    int Width = 0, Height = 0, Bits = 0;  // 0: from the file
    TGfxSurfaceDimension SurfaceDimension = sdFromFile;
    // May change width, height and bits before the texture is made.
    std::function<void(TGfxTexture*, int& width, int& height, int& bits)> OnSettingDimension;

private:
    int m_surface = -1;
};

// A loaded model: the frame tree of a .x file with textures for its groups.
class TGfxXFile : public TGfxComponent {
public:
    explicit TGfxXFile(TGfxEngine& engine, QObject* owner = nullptr);
    ~TGfxXFile() override;
    void Start() override;
    void Stop() override;

    const std::string& XFile() const { return m_xfile; }
    // Setting it on an active model reloads it.
    void SetXFile(const std::string& name);
    std::function<void(TGfxXFile*)> OnFileLoaded;
    // May map a texture file name of the model to another one.
    std::function<void(TGfxXFile*, std::string& name)> OnTextureFilename;
    bool AutoLoadResources = true;

    // Null while inactive.
    TXFileModel* Model() const { return m_model.get(); }
    std::shared_ptr<TXFileModel> SharedModel() const { return m_model; }
    TCD3DFileObject* FindFrame(const std::string& name) const;
    D3DMATRIX* FrameMatrix(const std::string& name) const;
    void EnumFrames(const TXFileModel::TFrameVisitor& visit) const;
    // Draws the model with the device's current world transform.
    void Draw() const;

private:
    std::string m_xfile;
    std::shared_ptr<TXFileModel> m_model;
};

// One light of the device.
class TGfxLight : public TGfxComponent {
public:
    explicit TGfxLight(TGfxEngine& engine, QObject* owner = nullptr);
    ~TGfxLight() override;
    void Start() override;
    void Stop() override;
    // The device's light record built from the settings.
    D3DLIGHT7 Description() const;

    uint32_t LightIndex = 0;
    D3DLIGHTTYPE LightType = D3DLIGHT_DIRECTIONAL;
    uint32_t DiffuseColor = 0xFFFFFF, SpecularColor = 0, AmbientColor = 0;  // 0x00BBGGRR
    float PositionX = 0, PositionY = 0, PositionZ = 0;
    float DirectionX = 0, DirectionY = 0, DirectionZ = 1;
    float Range = 0, FallOff = 0, Attenuation0 = 0, Attenuation1 = 0, Attenuation2 = 0, Theta = 0, Phi = 0;
    bool LightOn = true;
};

// The presenting window clips our output by itself; the clipper only
// tracks its state and window.
class TGfxClipper : public TGfxComponent {
public:
    explicit TGfxClipper(TGfxEngine& engine, QObject* owner = nullptr);
    ~TGfxClipper() override;
    void Start() override;
    void Stop() override;
    QWidget* Window = nullptr;
};

class TGfxEngine : public QObject {
public:
    // owner: the main window; it is also the default output window.
    explicit TGfxEngine(QWidget* owner);
    ~TGfxEngine() override;

    // Settings.
    QComboBox* ComboBoxDrivers = nullptr;
    QComboBox* ComboBoxD3DDevices = nullptr;
    QComboBox* ComboBoxVideoModes = nullptr;
    QComboBox* ComboBoxZBuffer = nullptr;
    bool AutoStart = false;
    // The component's settings for the platform parts it may leave out. This
    // layer always has its one OpenGL device and never opens sound or input,
    // so nothing reads them; they are kept because the game sets them.
    bool DisableDirectDraw = false, DisableDirect3D = false;
    bool DisableDirectSound = true, DisableDirectInput = true;
    bool ExceptionIgnore = false;
    std::string LogFile = "Log.log";
    TGfxLogType LogType = dxlogNone;
    bool IdleEnabled = true;
    bool AlwaysStopOnDeActivating = false;
    // Where images and models are looked up, below BaseDir. PathWaves is the
    // component's sound directory: there are no sounds, nothing reads it.
    std::string PathImages = "images/";
    std::string Path3DxFiles = "xfiles/";
    std::string PathWaves = "waves/";
    // The engine's own program directory, with a trailing '/'; empty: the
    // running program's. The window sets it from its BaseDir, the directory
    // it checked the data files in, which a test may point elsewhere.
    std::string BaseDir;
    // The cooperative level and the number of back surfaces belong to
    // exclusive full-screen display hardware; here the view is a window and
    // presenting copies one render surface, so nothing reads them.
    TGfxCoopLevel dxCoopLevel = dxclAuto;
    TGfxVideoModePolicy dxVideoMode = dxvmAuto;
    int Backsurfaces = 1;
    uint32_t ColorKey = 0;
    float vpMinZ = 0, vpMaxZ = 1;
    bool UseZBuffer = true;
    QWidget* OutputControl = nullptr;

    // Events.
    std::function<void(TGfxEngine*, bool& done)> OnIdle;
    std::function<void(TGfxEngine*)> OnAfterStart, OnBeforeStart, OnAfterStop, OnActivating, OnDeActivating,
        OnException;
    std::function<void(TGfxEngine*, const TGfxVideoMode&, bool& accept)> OnAcceptVideoMode;
    std::function<void(TGfxEngine*, const TGfxDriver&, bool& accept)> OnAcceptDriver;
    std::function<void(TGfxEngine*, const TGfxD3DDevice&, bool& accept)> OnAcceptD3DDevice;
    std::function<void(TGfxEngine*, const TGfxZBufferFormat&, bool& accept)> OnAcceptZBuffer;
    std::function<void(TGfxEngine*)> OnUpdateDriver, OnUpdateD3DDevice, OnUpdateVideoMode, OnUpdateZBuffer;

    bool HasFocus() const;
    bool Active() const { return m_active; }

    // Once the window has set the settings: hooks the combo boxes' change
    // events to the selected-index setters and runs GetDrivers.
    void Loaded();

    // Each rebuilds its list and combo box and selects entry 0.
    void GetDrivers();  // then GetVideoModes and GetD3DDevices
    void GetVideoModes();
    void GetD3DDevices();  // then GetZBuffers
    void GetZBuffers();
    const std::vector<TGfxDriver>& Drivers() const { return m_drivers; }
    const std::vector<TGfxVideoMode>& VideoModes() const { return m_modes; }
    const std::vector<TGfxD3DDevice>& D3DDevices() const { return m_devices; }
    const std::vector<TGfxZBufferFormat>& ZBuffers() const { return m_zbuffers; }
    // The list texts as the combo boxes show them.
    static std::string DriverText(const TGfxDriver& d);
    static std::string DeviceText(const TGfxD3DDevice& d);
    static std::string VideoModeText(const TGfxVideoMode& m);
    static std::string ZBufferText(const TGfxZBufferFormat& z);

    int SelectedDriver() const { return m_selDriver; }
    int SelectedVideoMode() const { return m_selMode; }
    int SelectedD3DDevice() const { return m_selDevice; }
    int SelectedZBuffer() const { return m_selZBuffer; }
    void SetSelectedDriver(int i);     // re-lists modes and devices
    void SetSelectedVideoMode(int i);  // restarts an active engine in the new mode
    void SetSelectedD3DDevice(int i);  // re-lists z-buffer formats
    void SetSelectedZBuffer(int i);
    // The selected video mode is a full-screen one (its Windowed byte is 0).
    bool IsFullScreenMode() const;
    // The z-buffer format the render surface got at the last start.
    int UsedZBuffer() const { return m_usedZBuffer; }

    // Raise EGfxError through the error routine when a step fails.
    void StartAll();
    void StopAll();

    // The render surface's size in pixels (0 × 0 while inactive).
    QSize RenderSize() const { return m_renderSize; }
    // Present: source and destination rectangles (see UpdateOutputRects).
    void UpdateOutputRects();
    QRect SourceRect, DestRect;

    // Null while inactive.
    TGfxDevice* Device() const { return m_device.get(); }
    QOpenGLFramebufferObject* RenderSurface() const { return m_rt; }
    QWidget* View() const;
    // Clears the viewport of the render surface to a Windows colour value
    // (0x00BBGGRR, GfxRGB) and the z-buffer to 1.0 when there is one.
    void ClearRecViewPort(uint32_t windowsColor);
    // Sets the device material; every alpha 1.0 (diffuse alpha given in the second).
    void SetMaterial(float dr, float dg, float db, float ar, float ag, float ab, float sr, float sg, float sb, float er,
                     float eg, float eb, float power);
    void SetMaterialAlpha(float dr, float dg, float db, float da, float ar, float ag, float ab, float sr, float sg,
                          float sb, float er, float eg, float eb, float power);

    // A painter on the render surface for text after the scene; ReleaseCanvas
    // gives it back (Present does so as well). Null while inactive.
    QPainter* Canvas();
    void ReleaseCanvas();
    // Copies the whole render surface onto the window, scaled to fill it.
    void Present();
    // The render surface's pixels, top row first (for tests and screenshots).
    QImage GrabRenderSurface();
    // The context current with the render surface bound.
    void MakeTargetCurrent();

    // The surface table. CreateNewSurface makes one texture with the files as
    // its mip levels (file 0 the top); -1 with why filled when it cannot.
    int CreateNewSurface(const std::vector<std::string>& files, uint32_t flags, int width, int height,
                         std::string* why);
    void DestroySurface(int index);
    TDDSurface* Surface(int index) const;
    int SurfaceCount() const;
    // The texture of an image file name, made once per start (model groups).
    TDDSurface* TextureByName(const std::string& name);
    // Counts starts, so that resources cached per start are known stale.
    uint64_t StartGeneration() const { return m_generation; }

    // The file searched: as given, the kind's directory + name, then
    // BaseDir + the kind's directory + name. "" when none exists.
    std::string FindImageFile(const std::string& name) const;
    std::string FindModelFile(const std::string& name) const;

    // The error routine: text = step + line break + platform error name;
    // stops the engine unless ExceptionIgnore; keeps the text; throws.
    [[noreturn]] void Error(const std::string& step, const std::string& platformError);
    const std::string& LastErrorText() const { return m_lastError; }
    // The name of a GL or platform result code ("Unrecognized Error" if unknown).
    static std::string ErrorName(unsigned code);
    // An exception reached the application: restore the window, raise
    // OnException, stop, and show the "Exception" box.
    void HandleException(const std::exception& e);

    // The application lost or regained focus.
    void ApplicationDeactivated();
    void ApplicationActivated();

    // Seconds since the epoch of the steady clock at the last start.
    double StartTime = 0;

private:
    friend class TGfxComponent;
    friend class TGfxView;
    void RegisterComponent(TGfxComponent* c);
    void UnregisterComponent(TGfxComponent* c);
    void FillCombo(QComboBox* box, const std::vector<std::string>& texts, int selected);
    void IdleTick();
    void ReleaseAll();
    void RestoreWindow();
    std::string FindFile(const std::string& name, const std::string& dir) const;
    bool CreateDepthBuffer(int format);

    QWidget* m_owner;
    bool m_active = false;
    std::vector<QObject*> m_hooked;  // combo boxes whose change event is ours
    bool m_filling = false;
    bool m_wasActive = false;
    std::vector<TGfxDriver> m_drivers;
    std::vector<TGfxVideoMode> m_modes;
    std::vector<TGfxD3DDevice> m_devices;
    std::vector<TGfxZBufferFormat> m_zbuffers;
    int m_selDriver = -1, m_selMode = -1, m_selDevice = -1, m_selZBuffer = -1, m_usedZBuffer = -1;
    std::vector<TGfxComponent*> m_components;
    std::vector<std::unique_ptr<TDDSurface>> m_surfaces;
    std::map<std::string, int> m_named;
    uint64_t m_generation = 0;

    // The render surface onto the window's back buffer, then on the screen.
    void ShowLastFrame();

    TGfxView* m_view = nullptr;
    QOpenGLFramebufferObject* m_rt = nullptr;
    unsigned m_depth = 0;
    QSize m_renderSize;
    bool m_rtBound = false;
    std::unique_ptr<TGfxDevice> m_device;
    std::unique_ptr<QOpenGLPaintDevice> m_paintDevice;
    QPainter m_painter;
    QTimer* m_idle = nullptr;
    std::string m_lastError;

    bool m_madeFullScreen = false;
    QRect m_savedGeometry;
    Qt::WindowFlags m_savedFlags;
    Qt::WindowStates m_savedState;
};

// Draws a model's frame tree with the engine's device: opaque meshes first,
// then transparent ones blended; material, stage-0 texture, world transform
// and the three blend states are restored afterwards.
void GfxDrawXModel(TGfxEngine& engine, TXFileModel& model);
// Sets the surface format every GL window of the program uses (OpenGL 3.3
// core, no vsync wait). Call before the first window exists.
void GfxSetDefaultSurfaceFormat();
