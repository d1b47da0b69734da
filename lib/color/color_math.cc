// 3x3 matrix helpers and the primaries / white-point matrices.
#include "lib/color/color_math.h"

#include <cmath>
#include <limits>

namespace qov {
namespace {

constexpr Matrix3x3 kBradford = {0.8951f,  0.2664f, -0.1614f,
                                 -0.7502f, 1.7135f, 0.0367f,
                                 0.0389f,  -0.0685f, 1.0296f};
constexpr Matrix3x3 kBradfordInverse = {0.9869929f,  -0.1470543f, 0.1599627f,
                                        0.4323053f,  0.5183603f,  0.0492912f,
                                        -0.0085287f, 0.0400428f,  0.9684867f};
// kBradford applied to the D50 white (0.96422, 1, 0.82521).
constexpr float kD50ConeL = 0.9962844f;
constexpr float kD50ConeM = 1.0204275f;
constexpr float kD50ConeS = 0.81864434f;

// Row i of m times (v0, v1, v2), summed in double precision.
float RowDot(const Matrix3x3& m, int i, float v0, float v1, float v2) {
  const double s = (static_cast<double>(m[3 * i]) * v0 +
                    static_cast<double>(m[3 * i + 1]) * v1) +
                   static_cast<double>(m[3 * i + 2]) * v2;
  return static_cast<float>(s);
}

}  // namespace

void Mul3x3(const Matrix3x3& a, const Matrix3x3& b, Matrix3x3* out) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double s = (static_cast<double>(a[3 * i]) * b[j] +
                        static_cast<double>(a[3 * i + 1]) * b[3 + j]) +
                       static_cast<double>(a[3 * i + 2]) * b[6 + j];
      (*out)[3 * i + j] = static_cast<float>(s);
    }
  }
}

Status Invert3x3(Matrix3x3* m) {
  const Matrix3x3& a = *m;
  const double a0 = a[0], a1 = a[1], a2 = a[2];
  const double a3 = a[3], a4 = a[4], a5 = a[5];
  const double a6 = a[6], a7 = a[7], a8 = a[8];
  const double c00 = a4 * a8 - a5 * a7;
  const double c01 = a5 * a6 - a3 * a8;
  const double c02 = a3 * a7 - a4 * a6;
  const double det = a0 * c00 + a1 * c01 + a2 * c02;
  // Written as a negated comparison so that a NaN determinant fails too.
  if (!(std::fabs(det) >= 1e-10)) return QOV_FAILURE();
  const Matrix3x3 inv = {
      static_cast<float>(c00 / det),
      static_cast<float>((a2 * a7 - a1 * a8) / det),
      static_cast<float>((a1 * a5 - a2 * a4) / det),
      static_cast<float>(c01 / det),
      static_cast<float>((a0 * a8 - a2 * a6) / det),
      static_cast<float>((a2 * a3 - a0 * a5) / det),
      static_cast<float>(c02 / det),
      static_cast<float>((a1 * a6 - a0 * a7) / det),
      static_cast<float>((a0 * a4 - a1 * a3) / det),
  };
  *m = inv;
  return OkStatus();
}

Status PrimariesToXyzMatrix(float rx, float ry, float gx, float gy, float bx,
                            float by, float wx, float wy, Matrix3x3* out) {
  // Negated comparisons: a NaN coordinate fails.
  if (!(wx >= 0.0f && wx <= 1.0f && wy > 0.0f && wy <= 1.0f)) {
    return QOV_FAILURE();
  }
  const Matrix3x3 p = {rx,           gx,           bx,
                       ry,           gy,           by,
                       1.0f - rx - ry, 1.0f - gx - gy, 1.0f - bx - by};
  Matrix3x3 p_inv = p;
  QOV_RETURN_IF_ERROR(Invert3x3(&p_inv));
  const float x = wx / wy;
  const float z = (1.0f - wx - wy) / wy;
  if (!std::isfinite(x) || !std::isfinite(z)) return QOV_FAILURE();
  const float s[3] = {RowDot(p_inv, 0, x, 1.0f, z), RowDot(p_inv, 1, x, 1.0f, z),
                      RowDot(p_inv, 2, x, 1.0f, z)};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      (*out)[3 * i + j] =
          static_cast<float>(static_cast<double>(p[3 * i + j]) * s[j]);
    }
  }
  return OkStatus();
}

Status AdaptToD50Matrix(float wx, float wy, Matrix3x3* out) {
  if (!(wy <= 1.0f && wx >= 0.0f && wx <= 1.0f && wy > 0.0f)) {
    return QOV_FAILURE();
  }
  const float x = wx / wy;
  if (!std::isfinite(x)) return QOV_FAILURE();
  const float z = (1.0f - wx - wy) / wy;
  if (!std::isfinite(z)) return QOV_FAILURE();
  const float l = RowDot(kBradford, 0, x, 1.0f, z);
  const float m = RowDot(kBradford, 1, x, 1.0f, z);
  const float s = RowDot(kBradford, 2, x, 1.0f, z);
  if (s == 0.0f || l == 0.0f || m == 0.0f) return QOV_FAILURE();
  const float d0 = kD50ConeL / l;
  const float d1 = kD50ConeM / m;
  const float d2 = kD50ConeS / s;
  if (!std::isfinite(d0) || !std::isfinite(d1) || !std::isfinite(d2)) {
    return QOV_FAILURE();
  }
  const Matrix3x3 d = {d0, 0.0f, 0.0f, 0.0f, d1, 0.0f, 0.0f, 0.0f, d2};
  Matrix3x3 db;
  Mul3x3(d, kBradford, &db);
  Mul3x3(kBradfordInverse, db, out);
  return OkStatus();
}

}  // namespace qov
