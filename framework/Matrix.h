// A row-major matrix of doubles that owns its element array. It reallocates
// only when its element count changes, so reshaping and assigning between
// equal sizes reuse the array.
#pragma once

#include <cstdint>

namespace velorastin {

class Matrix {
public:
    // Defined here, like the destructor and resize: every shading sample makes
    // and frees two matrices, and a call out to each costs more than its work.
    // Only a change of element count calls out, to reallocate.
    Matrix() : rows(3), cols(3), data(new double[rows * cols]) {}  // values not initialised
    Matrix(int32_t rows_, int32_t cols_) { resize(rows_, cols_); }  // values not initialised
    Matrix(double a00, double a01, double a02,
           double a10, double a11, double a12,
           double a20, double a21, double a22);
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix& other);
    ~Matrix() { delete[] data; }

    void resize(int32_t newRows, int32_t newCols) {
        const int32_t count = newRows * newCols;
        if (count != rows * cols) reallocate(count);
        rows = newRows;
        cols = newCols;
    }
    // Takes over `values` of `count` elements with the shape rows x cols,
    // reallocating only when the element count differs.
    void assign(int32_t newRows, int32_t newCols, const double* values);

    int32_t elementCount() const { return rows * cols; }
    double& at(int32_t row, int32_t col) { return data[row * cols + col]; }
    double at(int32_t row, int32_t col) const { return data[row * cols + col]; }

    int32_t rows = 0;
    int32_t cols = 0;
    double* data = nullptr;  // rows * cols elements, or null while 0 x 0

private:
    // A fresh array of `count` elements (none for 0) in place of the old one.
    void reallocate(int32_t count);
};

} // namespace velorastin
