#include "framework/Matrix.h"

#include <cstring>

namespace velorastin {

Matrix::Matrix(double a00, double a01, double a02,
               double a10, double a11, double a12,
               double a20, double a21, double a22) {
    const double values[9] = {a00, a01, a02, a10, a11, a12, a20, a21, a22};
    assign(3, 3, values);
}

Matrix& Matrix::operator=(const Matrix& other) {
    if (this != &other) assign(other.rows, other.cols, other.data);
    return *this;
}

void Matrix::reallocate(int32_t count) {
    delete[] data;
    data = nullptr;
    rows = cols = 0;  // consistent even if the allocation below fails
    if (count > 0) data = new double[count];
}

void Matrix::assign(int32_t newRows, int32_t newCols, const double* values) {
    resize(newRows, newCols);
    if (elementCount() > 0) std::memcpy(data, values, sizeof(double) * elementCount());
}

} // namespace velorastin
