// Geometry types shared by every subsystem: Direct3D 7's vector, matrix and
// vertex layouts, and plain helper functions on them.
//
// Conventions: left-handed world, y up; points are row vectors multiplied on
// the left (v × M), so A × B applies A first. Angles are radians.
#pragma once

#include <cstdint>

struct D3DVECTOR {
    float x = 0, y = 0, z = 0;
};

// Row-major; _RC is row R, column C. The translation sits in row 4.
struct D3DMATRIX {
    union {
        struct {
            float _11, _12, _13, _14;
            float _21, _22, _23, _24;
            float _31, _32, _33, _34;
            float _41, _42, _43, _44;
        };
        float m[4][4];
    };
    D3DMATRIX() : m{} {}
};

// Untransformed, unlit vertex: position, normal, texture coordinates.
struct D3DVERTEX {
    float x = 0, y = 0, z = 0;
    float nx = 0, ny = 0, nz = 0;
    float tu = 0, tv = 0;
};

// Untransformed, pre-lit vertex: position, reserved, colour, specular, uv.
struct D3DLVERTEX {
    float x = 0, y = 0, z = 0;
    uint32_t dwReserved = 0;
    uint32_t color = 0;     // 0xAARRGGBB
    uint32_t specular = 0;  // 0xAARRGGBB
    float tu = 0, tv = 0;
};

// Screen-space vertex: pixel position, depth 0..1, reciprocal w, colours, uv.
struct D3DTLVERTEX {
    float sx = 0, sy = 0, sz = 0, rhw = 0;
    uint32_t color = 0;
    uint32_t specular = 0;
    float tu = 0, tv = 0;
};

static_assert(sizeof(D3DVECTOR) == 12);
static_assert(sizeof(D3DMATRIX) == 64);
static_assert(sizeof(D3DVERTEX) == 32);
static_assert(sizeof(D3DLVERTEX) == 32);
static_assert(sizeof(D3DTLVERTEX) == 32);

// Vector helpers.
D3DVECTOR operator+(D3DVECTOR a, D3DVECTOR b);
D3DVECTOR operator-(D3DVECTOR a, D3DVECTOR b);
D3DVECTOR operator-(D3DVECTOR a);
D3DVECTOR operator*(D3DVECTOR a, float s);
D3DVECTOR operator*(float s, D3DVECTOR a);
D3DVECTOR operator/(D3DVECTOR a, float s);
D3DVECTOR& operator+=(D3DVECTOR& a, D3DVECTOR b);
D3DVECTOR& operator-=(D3DVECTOR& a, D3DVECTOR b);
bool operator==(D3DVECTOR a, D3DVECTOR b);

D3DVECTOR MakeVector(float x, float y, float z);
D3DVECTOR ComponentProduct(D3DVECTOR a, D3DVECTOR b);
float Magnitude(D3DVECTOR v);
float SquareMagnitude(D3DVECTOR v);
// v / |v|; a zero vector yields NaN components, as the division does.
D3DVECTOR Normalize(D3DVECTOR v);
float DotProduct(D3DVECTOR a, D3DVECTOR b);
// Left-handed cross product as in Direct3D: (a.y b.z − a.z b.y, …).
D3DVECTOR CrossProduct(D3DVECTOR a, D3DVECTOR b);

// Matrix helpers.
D3DMATRIX IdentityMatrix();
D3DMATRIX RotateXMatrix(float angle);  // _22 = cos, _23 = sin, _32 = −sin, _33 = cos
D3DMATRIX RotateYMatrix(float angle);  // _11 = cos, _13 = −sin, _31 = sin, _33 = cos
D3DMATRIX RotateZMatrix(float angle);  // _11 = cos, _12 = sin, _21 = −sin, _22 = cos
D3DMATRIX TranslateMatrix(float x, float y, float z);
D3DMATRIX TranslateMatrix(D3DVECTOR v);
D3DMATRIX ScaleMatrix(float sx, float sy, float sz);
// a × b: a point transformed by the result is transformed by a, then b.
D3DMATRIX MatrixMultiply(const D3DMATRIX& a, const D3DMATRIX& b);
D3DMATRIX operator*(const D3DMATRIX& a, const D3DMATRIX& b);
bool operator==(const D3DMATRIX& a, const D3DMATRIX& b);

// Left-handed look-at view matrix from eye towards at with the given world up.
// Returns false (and leaves out unchanged) when eye and at coincide or up is
// parallel to the view direction.
bool ViewMatrix(D3DMATRIX& out, D3DVECTOR eye, D3DVECTOR at, D3DVECTOR worldUp);
// Perspective projection: _11 = aspect × cot(fov/2), _22 = cot(fov/2),
// _33 = far / (far − near), _34 = 1, _43 = −near × far / (far − near).
// Leaves out unchanged when |far − near| < 0.01 or |sin(fov/2)| < 0.01.
bool ProjectionMatrix(D3DMATRIX& out, float fov, float aspect, float nearPlane, float farPlane);

// out = (x·M11 + y·M21 + z·M31 + M41, x·M12 + y·M22 + z·M32 + M42,
//        x·M13 + y·M23 + z·M33 + M43): a point transform without division.
void TransformVector(const D3DVECTOR& v, const D3DMATRIX& m, D3DVECTOR& out);
D3DVECTOR TransformVector(const D3DVECTOR& v, const D3DMATRIX& m);
