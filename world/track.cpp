#include "world/track.h"

#include "world/bmpfile.h"

#include <QImage>
#include <stdexcept>

namespace track {

std::array<TGateRec, GateCount> GateTable{};
std::array<TTreeRec, TreeCount> TreeTable{};

const TBox TreeBox{{{-15, 0, -15},
                    {15, 0, -15},
                    {15, 0, 15},
                    {-15, 0, 15},
                    {-15, 50, -15},
                    {15, 50, -15},
                    {15, 50, 15},
                    {-15, 50, 15},
                    {0, 0, -15},
                    {0, 0, 15},
                    {0, 50, -15},
                    {0, 50, 15}}};
const TBox PostBoxLeft{{{-600, 0, -50},
                        {-500, 0, -50},
                        {-500, 0, 50},
                        {-600, 0, 50},
                        {-600, 600, -50},
                        {-500, 600, -50},
                        {-500, 600, 50},
                        {-600, 600, 50},
                        {-550, 0, -50},
                        {-550, 0, 50},
                        {-550, 600, -50},
                        {-550, 600, 50}}};
const TBox PostBoxRight{{{500, 0, -50},
                         {600, 0, -50},
                         {600, 0, 50},
                         {500, 0, 50},
                         {500, 600, -50},
                         {600, 600, -50},
                         {600, 600, 50},
                         {500, 600, 50},
                         {550, 0, -50},
                         {550, 0, 50},
                         {550, 600, -50},
                         {550, 600, 50}}};
const std::array<D3DVECTOR, 9> GateFrame{{{-500, 0, -50},
                                          {-500, 600, -50},
                                          {-500, 0, 50},
                                          {500, 0, 50},
                                          {500, 600, 50},
                                          {500, 0, -50},
                                          {-500, 0, 0},
                                          {-500, 600, 0},
                                          {500, 0, 0}}};

namespace {

D3DLVERTEX TreeCorner(float x, float y, float z, float tu, float tv)
{
    D3DLVERTEX v;
    v.x = x, v.y = y, v.z = z;
    v.color = 0xFFFFFFFF;
    v.tu = tu, v.tv = tv;
    return v;
}

struct TGateSpot {
    float X, Z, Sink, Yaw;
};
// Gates 3 and 4 stand a little into the ground, where it falls away.
constexpr TGateSpot GateSpots[GateCount] = {{400, 900, 0, 0.7853982f},
                                            {-6000, 8000, 0, -0.5235988f},
                                            {8000, 8000, 0, -0.5235988f},
                                            {6000, -8000, 15, -0.7853982f},
                                            {-9000, -7000, 25, 1.7453293f}};

}  // namespace

const std::array<D3DLVERTEX, 8> TreeVertices{TreeCorner(-320, 0, 0, 1, 1), TreeCorner(-320, 800, 0, 1, 0),
                                             TreeCorner(320, 0, 0, 0, 1),  TreeCorner(320, 800, 0, 0, 0),
                                             TreeCorner(0, 0, 320, 1, 1),  TreeCorner(0, 800, 320, 1, 0),
                                             TreeCorner(0, 0, -320, 0, 1), TreeCorner(0, 800, -320, 0, 0)};
const std::array<uint16_t, 12> TreeIndices{0, 1, 2, 1, 2, 3, 4, 5, 6, 5, 6, 7};

void PlaceGates(THeight height)
{
    for (int g = 0; g < GateCount; ++g) {
        const TGateSpot& s = GateSpots[g];
        TGateRec& gate = GateTable[g];
        gate.Pos = {s.X, height(s.X, s.Z) - s.Sink, s.Z};
        gate.Yaw = s.Yaw;
        gate.World = RotateYMatrix(gate.Yaw) * TranslateMatrix(gate.Pos);
    }
}

int PlaceTrees(const std::string& treeMapFile, THeight height)
{
    bmpfile::TBmpHeader header;
    std::string error;
    QImage map;
    if (bmpfile::ReadHeader(treeMapFile, header, error)) map = bmpfile::Decode(treeMapFile, error);
    if (map.isNull()) throw std::runtime_error("tree map " + treeMapFile + ": " + error);

    // The map's colours as the tree kinds know them (Qt's 0xRRGGBB).
    constexpr QRgb Red = 0xFF0000, DarkGreen = 0x008000, Blue = 0x0000FF, White = 0xFFFFFF;
    int pixels = 0;
    for (int x = 0; x < map.width() && x < 256; ++x)
        for (int y = 0; y < map.height() && y < 256; ++y) {
            const QRgb c = map.pixel(x, y) & 0xFFFFFF;
            if (c == White) continue;
            if (pixels < TreeCount) {
                // Another colour keeps the kind the record had last race.
                TTreeRec& t = TreeTable[pixels];
                if (c == Red) t.Kind = 0;
                if (c == DarkGreen) t.Kind = 1;
                if (c == Blue) t.Kind = 2;
                t.Pos.x = float(y) * 100 - 12800;
                t.Pos.z = float(x) * 100 - 12800;
                t.Pos.y = height(t.Pos.x, t.Pos.z) - 15;
                t.World = TranslateMatrix(t.Pos);
                t.Used = true;
            }
            ++pixels;
        }
    for (int n = pixels; n < TreeCount; ++n) {
        TreeTable[n] = TTreeRec{};
        TreeTable[n].Used = false;
    }
    return pixels;
}

}  // namespace track
