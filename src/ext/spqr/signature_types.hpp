// Parameter types of the SPQR module's signatures (nb::sig), spelled as in spqr.pyi,
// as string-literal pieces that the binding files join into each signature.
#pragma once

#define FERROW_SPQR_MATRIX "ArrayLike | sparray | spmatrix"
#define FERROW_SPQR_ORDER                                                                   \
    "order: Literal['default', 'fixed', 'natural', 'colamd', 'cholmod', 'amd', 'metis', " \
    "'best', 'bestamd'] | None = None"
#define FERROW_SPQR_TOL "tol: SupportsFloat | SupportsIndex | None = None"
#define FERROW_SPQR_INDEX "NDArray[np.int32] | NDArray[np.int64]"
#define FERROW_SPQR_METHOD "method: Literal['QX', 'QTX', 'XQ', 'XQT'] = 'QX'"
#define FERROW_SPQR_DENSE "NDArray[np.inexact[Any]]"
