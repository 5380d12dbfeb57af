#include "platform/d3d/d3dtypes.h"

#include <cmath>

D3DVECTOR operator+(D3DVECTOR a, D3DVECTOR b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
D3DVECTOR operator-(D3DVECTOR a, D3DVECTOR b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3DVECTOR operator-(D3DVECTOR a) { return {-a.x, -a.y, -a.z}; }
D3DVECTOR operator*(D3DVECTOR a, float s) { return {a.x * s, a.y * s, a.z * s}; }
D3DVECTOR operator*(float s, D3DVECTOR a) { return a * s; }
D3DVECTOR operator/(D3DVECTOR a, float s) { return {a.x / s, a.y / s, a.z / s}; }
D3DVECTOR& operator+=(D3DVECTOR& a, D3DVECTOR b) { return a = a + b; }
D3DVECTOR& operator-=(D3DVECTOR& a, D3DVECTOR b) { return a = a - b; }
bool operator==(D3DVECTOR a, D3DVECTOR b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

D3DVECTOR MakeVector(float x, float y, float z) { return {x, y, z}; }
D3DVECTOR ComponentProduct(D3DVECTOR a, D3DVECTOR b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
float SquareMagnitude(D3DVECTOR v) { return v.x * v.x + v.y * v.y + v.z * v.z; }
float Magnitude(D3DVECTOR v) { return std::sqrt(SquareMagnitude(v)); }
D3DVECTOR Normalize(D3DVECTOR v) { return v / Magnitude(v); }
float DotProduct(D3DVECTOR a, D3DVECTOR b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
D3DVECTOR CrossProduct(D3DVECTOR a, D3DVECTOR b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

D3DMATRIX IdentityMatrix()
{
    D3DMATRIX m;
    m._11 = m._22 = m._33 = m._44 = 1.0f;
    return m;
}

D3DMATRIX RotateXMatrix(float angle)
{
    D3DMATRIX m = IdentityMatrix();
    const float c = std::cos(angle), s = std::sin(angle);
    m._22 = c;
    m._23 = s;
    m._32 = -s;
    m._33 = c;
    return m;
}

D3DMATRIX RotateYMatrix(float angle)
{
    D3DMATRIX m = IdentityMatrix();
    const float c = std::cos(angle), s = std::sin(angle);
    m._11 = c;
    m._13 = -s;
    m._31 = s;
    m._33 = c;
    return m;
}

D3DMATRIX RotateZMatrix(float angle)
{
    D3DMATRIX m = IdentityMatrix();
    const float c = std::cos(angle), s = std::sin(angle);
    m._11 = c;
    m._12 = s;
    m._21 = -s;
    m._22 = c;
    return m;
}

D3DMATRIX TranslateMatrix(float x, float y, float z)
{
    D3DMATRIX m = IdentityMatrix();
    m._41 = x;
    m._42 = y;
    m._43 = z;
    return m;
}

D3DMATRIX TranslateMatrix(D3DVECTOR v) { return TranslateMatrix(v.x, v.y, v.z); }

D3DMATRIX ScaleMatrix(float sx, float sy, float sz)
{
    D3DMATRIX m = IdentityMatrix();
    m._11 = sx;
    m._22 = sy;
    m._33 = sz;
    return m;
}

D3DMATRIX MatrixMultiply(const D3DMATRIX& a, const D3DMATRIX& b)
{
    D3DMATRIX r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float sum = 0;
            for (int k = 0; k < 4; ++k) sum += a.m[i][k] * b.m[k][j];
            r.m[i][j] = sum;
        }
    return r;
}

D3DMATRIX operator*(const D3DMATRIX& a, const D3DMATRIX& b) { return MatrixMultiply(a, b); }

bool operator==(const D3DMATRIX& a, const D3DMATRIX& b)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (a.m[i][j] != b.m[i][j]) return false;
    return true;
}

bool ViewMatrix(D3DMATRIX& out, D3DVECTOR eye, D3DVECTOR at, D3DVECTOR worldUp)
{
    D3DVECTOR view = at - eye;
    const float length = Magnitude(view);
    if (!(length > 1e-6f)) return false;
    view = view / length;

    // Up, made orthogonal to the view direction.
    D3DVECTOR up = worldUp - view * DotProduct(worldUp, view);
    const float upLength = Magnitude(up);
    if (!(upLength > 1e-6f)) return false;
    up = up / upLength;
    const D3DVECTOR right = CrossProduct(up, view);

    D3DMATRIX m = IdentityMatrix();
    m._11 = right.x;
    m._12 = up.x;
    m._13 = view.x;
    m._21 = right.y;
    m._22 = up.y;
    m._23 = view.y;
    m._31 = right.z;
    m._32 = up.z;
    m._33 = view.z;
    m._41 = -DotProduct(eye, right);
    m._42 = -DotProduct(eye, up);
    m._43 = -DotProduct(eye, view);
    out = m;
    return true;
}

bool ProjectionMatrix(D3DMATRIX& out, float fov, float aspect, float nearPlane, float farPlane)
{
    if (std::fabs(farPlane - nearPlane) < 0.01f || std::fabs(std::sin(fov / 2)) < 0.01f) return false;
    const float c = std::cos(fov / 2) / std::sin(fov / 2);
    const float q = farPlane / (farPlane - nearPlane);
    D3DMATRIX m;
    m._11 = aspect * c;
    m._22 = c;
    m._33 = q;
    m._34 = 1.0f;
    m._43 = -q * nearPlane;
    out = m;
    return true;
}

void TransformVector(const D3DVECTOR& v, const D3DMATRIX& m, D3DVECTOR& out)
{
    const D3DVECTOR p = v;  // out may alias v
    out.x = p.x * m._11 + p.y * m._21 + p.z * m._31 + m._41;
    out.y = p.x * m._12 + p.y * m._22 + p.z * m._32 + m._42;
    out.z = p.x * m._13 + p.y * m._23 + p.z * m._33 + m._43;
}

D3DVECTOR TransformVector(const D3DVECTOR& v, const D3DMATRIX& m)
{
    D3DVECTOR out;
    TransformVector(v, m, out);
    return out;
}
