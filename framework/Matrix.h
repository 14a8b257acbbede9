// A row-major matrix of doubles that owns its element array. It reallocates
// only when its element count changes, so reshaping and assigning between
// equal sizes reuse the array.
#pragma once

#include <cstdint>

namespace velorastin {

class Matrix {
public:
    Matrix();                              // 3 x 3, values not initialised
    Matrix(int32_t rows, int32_t cols);    // values not initialised
    Matrix(double a00, double a01, double a02,
           double a10, double a11, double a12,
           double a20, double a21, double a22);
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix& other);
    ~Matrix();

    void resize(int32_t newRows, int32_t newCols);
    // Takes over `values` of `count` elements with the shape rows x cols,
    // reallocating only when the element count differs.
    void assign(int32_t newRows, int32_t newCols, const double* values);

    int32_t elementCount() const { return rows * cols; }
    double& at(int32_t row, int32_t col) { return data[row * cols + col]; }
    double at(int32_t row, int32_t col) const { return data[row * cols + col]; }

    int32_t rows = 0;
    int32_t cols = 0;
    double* data = nullptr;  // rows * cols elements, or null while 0 x 0
};

} // namespace velorastin
