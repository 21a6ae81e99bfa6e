// ferrow_bench_driver: the floor that ferrow is measured against.
//
// It calls each SuiteSparse routine directly, from C++, on exactly the arrays that
// benchmarks/bench.py hands to ferrow (written as .npy files into one directory per
// test case), doing only what a C programmer must do around the call: allocate the
// outputs and workspaces the routine needs, fill its controls with the defaults, and
// free what it returns. Times are taken with std::chrono::steady_clock.
//
//   ferrow_bench_driver serve
//       reads commands from stdin, answers each with one JSON line on stdout:
//         load <case dir>             load a case (its Ap, Ai, Ax, shape; extras on demand)
//         time <op> <reps> <inner>    reps samples, each the mean of inner calls (seconds,
//                                     steady clock and process CPU time)
//         check <op>                  a signature of the last result, compared with ferrow's
//         quit
//   ferrow_bench_driver mem <warm-up case dir> <case dir> <op>
//       runs op once on the warm-up case, then sets the op up on the case, resets the
//       peak resident set (/proc/self/clear_refs), runs it once and prints the growth of
//       the peak over the resident set before the call, in KiB.

#include <SuiteSparseQR.hpp>
#include <btf.h>
#include <camd.h>
#include <ccolamd.h>
#include <cholmod.h>
#include <colamd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <malloc.h>
#include <time.h>

namespace {

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what); }

//------------------------------------------------------------------------------
// .npy files (version 1/2/3 headers, little-endian i4, i8 and f8, C or Fortran order)
//------------------------------------------------------------------------------

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

struct Array {
    std::string descr;
    bool fortran = false;
    std::vector<int64_t> shape;
    std::unique_ptr<void, FreeDeleter> block;
    int64_t size() const {
        int64_t n = 1;
        for (int64_t s : shape) n *= s;
        return n;
    }
    template <class T> T *data() const { return static_cast<T *>(block.get()); }
};

std::string header_value(const std::string &h, const std::string &key) {
    size_t k = h.find("'" + key + "'");
    if (k == std::string::npos) fail("npy header lacks " + key);
    size_t colon = h.find(':', k);
    size_t start = h.find_first_not_of(' ', colon + 1);
    size_t end = start;
    if (h[start] == '\'') end = h.find('\'', start + 1) + 1;
    else if (h[start] == '(') end = h.find(')', start) + 1;
    else end = h.find_first_of(",}", start);
    return h.substr(start, end - start);
}

Array load_npy(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) fail("cannot open " + path);
    char magic[8];
    f.read(magic, 8);
    if (!f || std::memcmp(magic, "\x93NUMPY", 6) != 0) fail(path + " is not a .npy file");
    uint32_t hlen = 0;
    if (magic[6] == 1) {
        unsigned char b[2];
        f.read(reinterpret_cast<char *>(b), 2);
        hlen = b[0] | (b[1] << 8);
    } else {
        unsigned char b[4];
        f.read(reinterpret_cast<char *>(b), 4);
        hlen = b[0] | (b[1] << 8) | (b[2] << 16) | ((uint32_t)b[3] << 24);
    }
    std::string h(hlen, '\0');
    f.read(&h[0], hlen);
    Array a;
    a.descr = header_value(h, "descr");
    a.descr = a.descr.substr(1, a.descr.size() - 2);
    a.fortran = header_value(h, "fortran_order") == "True";
    std::string shape = header_value(h, "shape");
    for (size_t i = 1; i < shape.size();) {
        size_t j = shape.find_first_of(",)", i);
        std::string tok = shape.substr(i, j - i);
        if (tok.find_first_not_of(' ') != std::string::npos) a.shape.push_back(std::stoll(tok));
        i = j + 1;
    }
    size_t item = a.descr == "<i4" ? 4 : (a.descr == "<i8" || a.descr == "<f8") ? 8 : 0;
    if (item == 0) fail(path + ": unsupported dtype " + a.descr);
    size_t nbytes = (size_t)a.size() * item;
    a.block.reset(std::malloc(nbytes ? nbytes : 1));
    if (!a.block) fail("out of memory reading " + path);
    f.read(static_cast<char *>(a.block.get()), (std::streamsize)nbytes);
    if ((size_t)f.gcount() != nbytes) fail(path + " is truncated");
    return a;
}

//------------------------------------------------------------------------------
// A test case: the matrix and, loaded on first use, its right-hand sides etc.
//------------------------------------------------------------------------------

struct Case {
    std::string dir;
    int64_t M = 0, N = 0;
    std::map<std::string, Array> arrays;

    const Array &get(const std::string &name) {
        auto it = arrays.find(name);
        if (it == arrays.end()) it = arrays.emplace(name, load_npy(dir + "/" + name + ".npy")).first;
        return it->second;
    }
    bool int64() { return get("Ap").descr == "<i8"; }
};

// An uninitialised array of n T's, as np.empty or malloc gives.
template <class T> std::unique_ptr<T[], FreeDeleter> raw(int64_t n) {
    T *p = static_cast<T *>(std::malloc(sizeof(T) * (size_t)std::max<int64_t>(n, 1)));
    if (!p) fail("out of memory");
    return std::unique_ptr<T[], FreeDeleter>(p);
}

// The signature ferrow's side computes too: sum of (k+1) * v[k], wrapping modulo 2^64.
template <class I> uint64_t vhash(const I *v, int64_t n) {
    uint64_t h = 0;
    for (int64_t k = 0; k < n; ++k) h += (uint64_t)(k + 1) * (uint64_t)(int64_t)v[k];
    return h;
}

std::string hstr(uint64_t h) { return std::to_string(h); }

//------------------------------------------------------------------------------
// Library traits per index type
//------------------------------------------------------------------------------

template <class I> struct Lib;

template <> struct Lib<int32_t> {
    static constexpr int itype = CHOLMOD_INT;
    static int camd(int32_t n, const int32_t *Ap, const int32_t *Ai, int32_t *P, double *c, double *i,
                    const int32_t *C) { return camd_order(n, Ap, Ai, P, c, i, C); }
    static size_t colamd_rec(int32_t nnz, int32_t m, int32_t n) { return colamd_recommended(nnz, m, n); }
    static int colamd_(int32_t m, int32_t n, int32_t alen, int32_t *A, int32_t *p, double *k, int32_t *s) {
        return colamd(m, n, alen, A, p, k, s);
    }
    static int symamd_(int32_t n, int32_t *Ai, int32_t *Ap, int32_t *perm, double *k, int32_t *s) {
        return symamd(n, Ai, Ap, perm, k, s, calloc, free);
    }
    static size_t ccolamd_rec(int32_t nnz, int32_t m, int32_t n) { return ccolamd_recommended(nnz, m, n); }
    static int ccolamd_(int32_t m, int32_t n, int32_t alen, int32_t *A, int32_t *p, double *k, int32_t *s,
                        int32_t *c) { return ccolamd(m, n, alen, A, p, k, s, c); }
    static int csymamd_(int32_t n, int32_t *Ai, int32_t *Ap, int32_t *perm, double *k, int32_t *s, int32_t *c) {
        return csymamd(n, Ai, Ap, perm, k, s, calloc, free, c, -1);
    }
    static int32_t maxtrans(int32_t m, int32_t n, int32_t *Ap, int32_t *Ai, double *w, int32_t *jm,
                            int32_t *work) { return btf_maxtrans(m, n, Ap, Ai, 0.0, w, jm, work); }
    static int32_t strongcomp(int32_t n, int32_t *Ap, int32_t *Ai, int32_t *P, int32_t *R, int32_t *W) {
        return btf_strongcomp(n, Ap, Ai, nullptr, P, R, W);
    }
    static int32_t order(int32_t n, int32_t *Ap, int32_t *Ai, double *w, int32_t *P, int32_t *Q, int32_t *R,
                         int32_t *nm, int32_t *W) { return btf_order(n, Ap, Ai, 0.0, w, P, Q, R, nm, W); }
    static void start(cholmod_common *c) { cholmod_start(c); }
    static void finish(cholmod_common *c) { cholmod_finish(c); }
    static void free_sparse(cholmod_sparse **A, cholmod_common *c) { cholmod_free_sparse(A, c); }
    static void free_dense(cholmod_dense **X, cholmod_common *c) { cholmod_free_dense(X, c); }
    static void free_ints(int64_t n, int32_t *p, cholmod_common *c) { cholmod_free((size_t)n, 4, p, c); }
};

template <> struct Lib<int64_t> {
    static constexpr int itype = CHOLMOD_LONG;
    static int camd(int64_t n, const int64_t *Ap, const int64_t *Ai, int64_t *P, double *c, double *i,
                    const int64_t *C) { return camd_l_order(n, Ap, Ai, P, c, i, C); }
    static size_t colamd_rec(int64_t nnz, int64_t m, int64_t n) { return colamd_l_recommended(nnz, m, n); }
    static int colamd_(int64_t m, int64_t n, int64_t alen, int64_t *A, int64_t *p, double *k, int64_t *s) {
        return colamd_l(m, n, alen, A, p, k, s);
    }
    static int symamd_(int64_t n, int64_t *Ai, int64_t *Ap, int64_t *perm, double *k, int64_t *s) {
        return symamd_l(n, Ai, Ap, perm, k, s, calloc, free);
    }
    static size_t ccolamd_rec(int64_t nnz, int64_t m, int64_t n) { return ccolamd_l_recommended(nnz, m, n); }
    static int ccolamd_(int64_t m, int64_t n, int64_t alen, int64_t *A, int64_t *p, double *k, int64_t *s,
                        int64_t *c) { return ccolamd_l(m, n, alen, A, p, k, s, c); }
    static int csymamd_(int64_t n, int64_t *Ai, int64_t *Ap, int64_t *perm, double *k, int64_t *s, int64_t *c) {
        return csymamd_l(n, Ai, Ap, perm, k, s, calloc, free, c, -1);
    }
    static int64_t maxtrans(int64_t m, int64_t n, int64_t *Ap, int64_t *Ai, double *w, int64_t *jm,
                            int64_t *work) { return btf_l_maxtrans(m, n, Ap, Ai, 0.0, w, jm, work); }
    static int64_t strongcomp(int64_t n, int64_t *Ap, int64_t *Ai, int64_t *P, int64_t *R, int64_t *W) {
        return btf_l_strongcomp(n, Ap, Ai, nullptr, P, R, W);
    }
    static int64_t order(int64_t n, int64_t *Ap, int64_t *Ai, double *w, int64_t *P, int64_t *Q, int64_t *R,
                         int64_t *nm, int64_t *W) { return btf_l_order(n, Ap, Ai, 0.0, w, P, Q, R, nm, W); }
    static void start(cholmod_common *c) { cholmod_l_start(c); }
    static void finish(cholmod_common *c) { cholmod_l_finish(c); }
    static void free_sparse(cholmod_sparse **A, cholmod_common *c) { cholmod_l_free_sparse(A, c); }
    static void free_dense(cholmod_dense **X, cholmod_common *c) { cholmod_l_free_dense(X, c); }
    static void free_ints(int64_t n, int64_t *p, cholmod_common *c) { cholmod_l_free((size_t)n, 8, p, c); }
};

//------------------------------------------------------------------------------
// Operations. Each is set up once (outside the timing) and then run many times;
// like a Python assignment `r = f()`, a run computes the new result before it
// frees the previous one.
//------------------------------------------------------------------------------

struct Op {
    std::function<void()> run;
    std::function<std::string()> check;
    std::function<void()> teardown;
    ~Op() {
        if (teardown) teardown();
    }
};

// CHOLMOD views of the case's arrays (no copies).
template <class I> cholmod_sparse sparse_view(int64_t m, int64_t n, const Array &p, const Array &i,
                                              const Array &x) {
    cholmod_sparse A;
    std::memset(&A, 0, sizeof A);
    A.nrow = (size_t)m;
    A.ncol = (size_t)n;
    A.nzmax = (size_t)std::max<int64_t>(i.size(), 1);
    A.p = p.block.get();
    A.i = i.block.get();
    A.x = x.block.get();
    A.stype = 0;
    A.itype = Lib<I>::itype;
    A.xtype = CHOLMOD_REAL;
    A.dtype = CHOLMOD_DOUBLE;
    A.sorted = 1;
    A.packed = 1;
    return A;
}

cholmod_dense dense_view(const Array &a) {
    if (a.shape.size() == 2 && !a.fortran && a.shape[1] != 1) fail("dense blocks must be column-major");
    cholmod_dense X;
    std::memset(&X, 0, sizeof X);
    X.nrow = (size_t)a.shape[0];
    X.ncol = a.shape.size() == 2 ? (size_t)a.shape[1] : 1;
    X.nzmax = X.nrow * X.ncol;
    X.d = X.nrow;
    X.x = a.block.get();
    X.xtype = CHOLMOD_REAL;
    X.dtype = CHOLMOD_DOUBLE;
    return X;
}

std::string dense_check(const cholmod_dense *X) {
    const double *x = static_cast<const double *>(X->x);
    double s = 0;
    for (size_t k = 0; k < X->nrow * X->ncol; ++k) s += x[k] * x[k];
    std::ostringstream o;
    o.precision(17);
    o << "shape=" << X->nrow << "x" << X->ncol << " norm=" << std::sqrt(s);
    return o.str();
}

std::string sparse_check(const cholmod_sparse *X) {
    const double *x = static_cast<const double *>(X->x);
    int64_t nz = X->itype == CHOLMOD_INT ? ((const int32_t *)X->p)[X->ncol] : ((const int64_t *)X->p)[X->ncol];
    double s = 0;
    for (int64_t k = 0; k < nz; ++k) s += x[k] * x[k];
    std::ostringstream o;
    o.precision(17);
    o << "shape=" << X->nrow << "x" << X->ncol << " norm=" << std::sqrt(s);
    return o.str();
}

template <class I> using QR = SuiteSparseQR_factorization<double, I>;

// Holds a started common block and, optionally, a factorisation made in it.
template <class I> struct Factor {
    cholmod_common cc;
    QR<I> *qr = nullptr;
    Factor() { Lib<I>::start(&cc); }
    ~Factor() {
        if (qr) SuiteSparseQR_free<double, I>(&qr, &cc);
        Lib<I>::finish(&cc);
    }
    void status(const char *what) {
        if (cc.status != CHOLMOD_OK) fail(std::string(what) + " failed with status " + std::to_string(cc.status));
    }
};

//------------------------------------------------------------------------------
// A deep copy of a factorisation, walking the published records (the library has
// no copy routine). Every block is malloc'ed, as SuiteSparseQR_free expects.
//------------------------------------------------------------------------------

template <class T> T *dup(const T *src, int64_t n) {
    if (src == nullptr) return nullptr;
    T *p = static_cast<T *>(std::malloc(sizeof(T) * (size_t)std::max<int64_t>(n, 0) + (n <= 0)));
    if (!p) fail("out of memory in copy");
    if (n > 0) std::memcpy(p, src, sizeof(T) * (size_t)n);
    return p;
}

template <class I> spqr_symbolic<I> *copy_symbolic(const spqr_symbolic<I> *s) {
    auto *d = static_cast<spqr_symbolic<I> *>(std::calloc(1, sizeof(spqr_symbolic<I>)));
    if (!d) fail("out of memory in copy");
    if (s->ntasks > 1) fail("task-parallel analysis not copied");
    d->m = s->m; d->n = s->n; d->anz = s->anz;
    d->Sp = dup(s->Sp, s->m + 1);
    d->Sj = dup(s->Sj, s->anz);
    d->Qfill = dup(s->Qfill, s->n);
    d->PLinv = dup(s->PLinv, s->m);
    d->Sleft = dup(s->Sleft, s->n + 2);
    d->nf = s->nf; d->maxfn = s->maxfn;
    d->Parent = dup(s->Parent, s->nf + 1);
    d->Child = dup(s->Child, s->nf + 1);
    d->Childp = dup(s->Childp, s->nf + 2);
    d->Super = dup(s->Super, s->nf + 1);
    d->Rp = dup(s->Rp, s->nf + 1);
    d->Rj = dup(s->Rj, s->rjsize);
    d->Post = dup(s->Post, s->nf + 1);
    d->rjsize = s->rjsize; d->do_rank_detection = s->do_rank_detection;
    d->maxstack = s->maxstack; d->hisize = s->hisize; d->keepH = s->keepH;
    d->Hip = dup(s->Hip, s->nf + 1);
    d->ntasks = s->ntasks; d->ns = s->ns;
    d->maxcsize = s->maxcsize; d->maxesize = s->maxesize;
    return d;  // the task-graph and GPU members stay null
}

template <class I> spqr_numeric<double, I> *copy_numeric(const spqr_numeric<double, I> *s) {
    auto *d = static_cast<spqr_numeric<double, I> *>(std::calloc(1, sizeof(spqr_numeric<double, I>)));
    if (!d) fail("out of memory in copy");
    d->ns = s->ns; d->nf = s->nf;
    d->Stack_size = dup(s->Stack_size, s->ns);
    if (s->Stacks) {
        d->Stacks = static_cast<double **>(std::calloc((size_t)std::max<I>(s->ns, 1), sizeof(double *)));
        for (I k = 0; k < s->ns; ++k)
            d->Stacks[k] = s->Stack_size ? dup(s->Stacks[k], s->Stack_size[k]) : nullptr;
    }
    if (s->Rblock) {
        d->Rblock = static_cast<double **>(std::calloc((size_t)std::max<I>(s->nf, 1), sizeof(double *)));
        for (I f = 0; f < s->nf; ++f) {
            const double *p = s->Rblock[f];
            if (p == nullptr) continue;
            bool found = false;
            for (I k = 0; k < s->ns && !found; ++k) {
                const double *b = s->Stacks[k];
                if (b && p >= b && p < b + s->Stack_size[k]) {
                    d->Rblock[f] = d->Stacks[k] + (p - b);
                    found = true;
                }
            }
            if (!found) fail("an R block lies outside every stack");
        }
    }
    d->hisize = s->hisize; d->n = s->n; d->m = s->m; d->ntasks = s->ntasks; d->maxstack = s->maxstack;
    d->Rdead = dup(s->Rdead, s->n);
    d->rank = s->rank; d->rank1 = s->rank1; d->maxfrank = s->maxfrank; d->norm_E_fro = s->norm_E_fro;
    d->keepH = s->keepH; d->rjsize = s->rjsize;
    d->HStair = dup(s->HStair, s->rjsize);
    d->HTau = dup(s->HTau, s->rjsize);
    d->Hii = dup(s->Hii, s->hisize);
    d->HPinv = dup(s->HPinv, s->m);
    d->Hm = dup(s->Hm, s->nf);
    d->Hr = dup(s->Hr, s->nf);
    d->maxfm = s->maxfm;
    return d;
}

template <class I> QR<I> *copy_factor(const QR<I> *s) {
    auto *d = static_cast<QR<I> *>(std::calloc(1, sizeof(QR<I>)));
    if (!d) fail("out of memory in copy");
    d->tol = s->tol;
    d->QRsym = s->QRsym ? copy_symbolic(s->QRsym) : nullptr;
    d->QRnum = s->QRnum ? copy_numeric(s->QRnum) : nullptr;
    d->R1p = dup(s->R1p, s->n1rows + 1);
    d->R1j = dup(s->R1j, s->r1nz);
    d->R1x = dup(s->R1x, s->r1nz);
    d->r1nz = s->r1nz;
    d->Q1fill = dup(s->Q1fill, s->nacols + s->bncols);
    d->P1inv = dup(s->P1inv, s->narows);
    d->HP1inv = dup(s->HP1inv, s->narows);
    d->Rmap = dup(s->Rmap, s->nacols);
    d->RmapInv = dup(s->RmapInv, s->nacols);
    d->n1rows = s->n1rows; d->n1cols = s->n1cols; d->narows = s->narows; d->nacols = s->nacols;
    d->bncols = s->bncols; d->rank = s->rank; d->allow_tol = s->allow_tol;
    return d;
}

//------------------------------------------------------------------------------
// The operations
//------------------------------------------------------------------------------

// Ordering results: the arrays of the last run, hashed for the check.
template <class I> struct Perm {
    std::unique_ptr<I[], FreeDeleter> a, b, c;
    int64_t na = 0, nb = 0, nc = 0;
};

template <class I> std::unique_ptr<Op> make_op(Case &cs, const std::string &name) {
    const int64_t M = cs.M, N = cs.N;
    I *Ap = cs.get("Ap").template data<I>();
    I *Ai = cs.get("Ai").template data<I>();
    const int64_t nnz = (int64_t)Ap[N];
    auto op = std::make_unique<Op>();
    auto perm = std::make_shared<Perm<I>>();
    auto perm_check = [perm]() {
        std::string s = "h=" + hstr(vhash(perm->a.get(), perm->na));
        if (perm->b) s += " h2=" + hstr(vhash(perm->b.get(), perm->nb));
        if (perm->c) s += " h3=" + hstr(vhash(perm->c.get(), perm->nc));
        return s;
    };

    if (name == "camd") {
        op->run = [=] {
            auto P = raw<I>(N);
            double ctrl[CAMD_CONTROL], info[CAMD_INFO];
            camd_defaults(ctrl);
            int st = Lib<I>::camd((I)N, Ap, Ai, P.get(), ctrl, info, nullptr);
            if (st < 0) fail("camd failed");
            perm->a = std::move(P);
            perm->na = N;
        };
        op->check = perm_check;
    } else if (name == "colamd" || name == "ccolamd") {
        const bool constrained = name == "ccolamd";
        I *cm = constrained ? cs.get("cmember").template data<I>() : nullptr;
        op->run = [=] {
            size_t alen = constrained ? Lib<I>::ccolamd_rec((I)nnz, (I)M, (I)N) : Lib<I>::colamd_rec((I)nnz, (I)M, (I)N);
            if (alen == 0) fail("recommended Alen is zero");
            auto A = raw<I>((int64_t)alen);
            std::memcpy(A.get(), Ai, sizeof(I) * (size_t)nnz);
            auto p = raw<I>(N + 1);
            std::memcpy(p.get(), Ap, sizeof(I) * (size_t)(N + 1));
            double knobs[CCOLAMD_KNOBS];
            I stats[CCOLAMD_STATS];
            int ok;
            if (constrained) {
                ccolamd_set_defaults(knobs);
                ok = Lib<I>::ccolamd_((I)M, (I)N, (I)alen, A.get(), p.get(), knobs, stats, cm);
            } else {
                colamd_set_defaults(knobs);
                ok = Lib<I>::colamd_((I)M, (I)N, (I)alen, A.get(), p.get(), knobs, stats);
            }
            if (!ok) fail(name + " failed");
            perm->a = std::move(p);
            perm->na = N;
        };
        op->check = perm_check;
    } else if (name == "symamd" || name == "csymamd") {
        const bool constrained = name == "csymamd";
        I *cm = constrained ? cs.get("cmember").template data<I>() : nullptr;
        op->run = [=] {
            auto P = raw<I>(N + 1);
            double knobs[CCOLAMD_KNOBS];
            I stats[CCOLAMD_STATS];
            int ok;
            if (constrained) {
                ccolamd_set_defaults(knobs);
                ok = Lib<I>::csymamd_((I)N, Ai, Ap, P.get(), knobs, stats, cm);
            } else {
                colamd_set_defaults(knobs);
                ok = Lib<I>::symamd_((I)N, Ai, Ap, P.get(), knobs, stats);
            }
            if (!ok) fail(name + " failed");
            perm->a = std::move(P);
            perm->na = N;
        };
        op->check = perm_check;
    } else if (name == "maxtrans") {
        op->run = [=] {
            auto match = raw<I>(M);
            auto work = raw<I>(5 * N);
            double w;
            if (Lib<I>::maxtrans((I)M, (I)N, Ap, Ai, &w, match.get(), work.get()) < 0) fail("maxtrans failed");
            perm->a = std::move(match);
            perm->na = M;
        };
        op->check = perm_check;
    } else if (name == "strongcomp") {
        op->run = [=] {
            auto P = raw<I>(N), R = raw<I>(N + 1), W = raw<I>(4 * N);
            I nb = Lib<I>::strongcomp((I)N, Ap, Ai, P.get(), R.get(), W.get());
            if (nb < 0) fail("strongcomp failed");
            perm->a = std::move(P);
            perm->na = N;
            perm->b = std::move(R);
            perm->nb = nb + 1;
        };
        op->check = perm_check;
    } else if (name == "btf") {
        op->run = [=] {
            auto P = raw<I>(N), Q = raw<I>(N), R = raw<I>(N + 1), W = raw<I>(5 * N);
            double w;
            I nmatch;
            I nb = Lib<I>::order((I)N, Ap, Ai, &w, P.get(), Q.get(), R.get(), &nmatch, W.get());
            if (nb < 0) fail("btf failed");
            perm->a = std::move(P);
            perm->na = N;
            perm->b = std::move(Q);
            perm->nb = N;
            perm->c = std::move(R);
            perm->nc = nb + 1;
        };
        op->check = perm_check;
    } else {
        return nullptr;
    }
    return op;
}

template <class I> std::unique_ptr<Op> make_qr_op(Case &cs, const std::string &name) {
    const int64_t M = cs.M, N = cs.N;
    auto A = std::make_shared<cholmod_sparse>(sparse_view<I>(M, N, cs.get("Ap"), cs.get("Ai"), cs.get("Ax")));
    auto op = std::make_unique<Op>();
    const int ordering = SPQR_ORDERING_DEFAULT;
    const double tol = SPQR_DEFAULT_TOL;

    if (name.rfind("spqr_", 0) == 0 && name != "spqr_qmult" && name != "spqr_solve") {
        const std::string mode = name.substr(5);
        if (mode != "full" && mode != "economic" && mode != "r" && mode != "householder") return nullptr;
        const int64_t econ = mode == "economic" ? N : M;
        // One call's common block and results; destroying it frees them.
        struct Result {
            cholmod_common cc;
            cholmod_sparse *Q = nullptr, *R = nullptr, *H = nullptr;
            cholmod_dense *HTau = nullptr;
            Result() { Lib<I>::start(&cc); }
            ~Result() {
                Lib<I>::free_sparse(&Q, &cc);
                Lib<I>::free_sparse(&R, &cc);
                Lib<I>::free_sparse(&H, &cc);
                Lib<I>::free_dense(&HTau, &cc);
                Lib<I>::finish(&cc);
            }
        };
        auto last = std::make_shared<std::unique_ptr<Result>>();
        auto check = std::make_shared<std::string>();
        op->run = [=] {
            auto next = std::make_unique<Result>();
            cholmod_common *cc = &next->cc;
            I *E = nullptr, *HPinv = nullptr;
            if (mode == "r")
                SuiteSparseQR<double, I>(ordering, tol, (I)econ, A.get(), &next->R, &E, cc);
            else if (mode == "householder")
                SuiteSparseQR<double, I>(ordering, tol, (I)econ, A.get(), &next->R, &E, &next->H, &HPinv,
                                         &next->HTau, cc);
            else
                SuiteSparseQR<double, I>(ordering, tol, (I)econ, A.get(), &next->Q, &next->R, &E, cc);
            if (cc->status != CHOLMOD_OK) fail("SuiteSparseQR failed");
            std::ostringstream o;
            const cholmod_sparse *R = next->R;
            int64_t rnz = R->itype == CHOLMOD_INT ? ((int32_t *)R->p)[R->ncol] : ((int64_t *)R->p)[R->ncol];
            o << "R=" << R->nrow << "x" << R->ncol << " nnzR=" << rnz;
            if (next->Q) o << " Q=" << next->Q->nrow << "x" << next->Q->ncol;
            if (E) o << " hE=" << hstr(vhash(E, N));
            *check = o.str();
            if (E) Lib<I>::free_ints(N, E, cc);
            if (HPinv) Lib<I>::free_ints((int64_t)next->H->nrow, HPinv, cc);
            *last = std::move(next);
        };
        op->check = [check] { return *check; };
        op->teardown = [last] { last->reset(); };
        return op;
    }

    if (name == "factor_symbolic") {
        auto last = std::make_shared<std::unique_ptr<Factor<I>>>();
        op->run = [=] {
            auto f = std::make_unique<Factor<I>>();
            f->qr = SuiteSparseQR_symbolic<double, I>(ordering, 1, A.get(), &f->cc);
            f->status("symbolic");
            *last = std::move(f);
        };
        op->check = [last, N] { return "hQ=" + hstr(vhash((*last)->qr->Q1fill, N)); };
        op->teardown = [last] { last->reset(); };
        return op;
    }

    if (name == "spqr_solve") {  // one-shot: factor with singletons, solve, free
        auto B = std::make_shared<cholmod_dense>(dense_view(cs.get("b1")));
        auto check = std::make_shared<std::string>();
        auto last = std::make_shared<cholmod_dense *>(nullptr);
        auto lastcc = std::make_shared<std::unique_ptr<Factor<I>>>();
        op->run = [=] {
            auto f = std::make_unique<Factor<I>>();
            f->qr = SuiteSparseQR_factorize<double, I>(ordering, tol, A.get(), &f->cc);
            f->status("factorize");
            cholmod_dense *Y = SuiteSparseQR_qmult<double, I>(SPQR_QTX, f->qr, B.get(), &f->cc);
            f->status("qmult");
            cholmod_dense *X = SuiteSparseQR_solve<double, I>(SPQR_RETX_EQUALS_B, f->qr, Y, &f->cc);
            f->status("solve");
            Lib<I>::free_dense(&Y, &f->cc);
            SuiteSparseQR_free<double, I>(&f->qr, &f->cc);
            if (*last) Lib<I>::free_dense(last.get(), &(*lastcc)->cc);
            *last = X;
            *lastcc = std::move(f);
        };
        op->check = [=] { return dense_check(*last); };
        op->teardown = [=] {
            if (*last) Lib<I>::free_dense(last.get(), &(*lastcc)->cc);
            lastcc->reset();
        };
        return op;
    }

    if (name == "spqr_qmult") {  // Q in Householder form, one common per call
        struct House {
            cholmod_common cc;
            cholmod_sparse *R = nullptr, *H = nullptr;
            cholmod_dense *HTau = nullptr;
            I *E = nullptr, *HPinv = nullptr;
            ~House() {
                if (E) Lib<I>::free_ints(N, E, &cc);
                if (HPinv) Lib<I>::free_ints(hm, HPinv, &cc);
                Lib<I>::free_sparse(&R, &cc);
                Lib<I>::free_sparse(&H, &cc);
                Lib<I>::free_dense(&HTau, &cc);
                Lib<I>::finish(&cc);
            }
            int64_t N = 0, hm = 0;
        };
        auto h = std::make_shared<House>();
        Lib<I>::start(&h->cc);
        h->N = N;
        SuiteSparseQR<double, I>(ordering, tol, (I)M, A.get(), &h->R, &h->E, &h->H, &h->HPinv, &h->HTau, &h->cc);
        if (h->cc.status != CHOLMOD_OK) fail("householder QR failed");
        h->hm = (int64_t)h->H->nrow;
        auto X = std::make_shared<cholmod_dense>(dense_view(cs.get("b1")));
        struct Result {
            cholmod_common cc;
            cholmod_dense *Y = nullptr;
            Result() { Lib<I>::start(&cc); }
            ~Result() {
                Lib<I>::free_dense(&Y, &cc);
                Lib<I>::finish(&cc);
            }
        };
        auto last = std::make_shared<std::unique_ptr<Result>>();
        op->run = [=] {
            auto next = std::make_unique<Result>();
            next->Y = SuiteSparseQR_qmult<double, I>(SPQR_QX, h->H, h->HTau, h->HPinv, X.get(), &next->cc);
            if (next->cc.status != CHOLMOD_OK) fail("qmult failed");
            *last = std::move(next);
        };
        op->check = [last] { return dense_check((*last)->Y); };
        op->teardown = [h, last] { last->reset(); };
        return op;
    }
    if (name == "factor") {  // symbolic and numeric, as spqr_factor
        auto last = std::make_shared<std::unique_ptr<Factor<I>>>();
        op->run = [=] {
            auto f = std::make_unique<Factor<I>>();
            f->qr = SuiteSparseQR_symbolic<double, I>(ordering, 1, A.get(), &f->cc);
            f->status("symbolic");
            SuiteSparseQR_numeric<double, I>(tol, A.get(), f->qr, &f->cc);
            f->status("numeric");
            *last = std::move(f);
        };
        op->check = [last] { return "rank=" + std::to_string((int64_t)(*last)->qr->rank); };
        op->teardown = [last] { last->reset(); };
        return op;
    }

    // The rest works on one numeric factor made during set-up.
    auto F = std::make_shared<Factor<I>>();
    F->qr = SuiteSparseQR_symbolic<double, I>(ordering, 1, A.get(), &F->cc);
    F->status("symbolic");
    SuiteSparseQR_numeric<double, I>(tol, A.get(), F->qr, &F->cc);
    F->status("numeric");
    cholmod_common *cc = &F->cc;

    if (name == "factor_numeric") {
        op->run = [=] {
            SuiteSparseQR_numeric<double, I>(tol, A.get(), F->qr, cc);
            F->status("numeric");
        };
        op->check = [F] { return "rank=" + std::to_string((int64_t)F->qr->rank); };
        op->teardown = [F] {};
        return op;
    }

    if (name == "solve_1" || name == "solve_100" || name == "qmult") {
        auto B = std::make_shared<cholmod_dense>(dense_view(cs.get(name == "solve_100" ? "B100" : "b1")));
        auto last = std::make_shared<cholmod_dense *>(nullptr);
        const bool qm = name == "qmult";
        op->run = [=] {
            cholmod_dense *X;
            if (qm) {
                X = SuiteSparseQR_qmult<double, I>(SPQR_QX, F->qr, B.get(), cc);
                F->status("qmult");
            } else {
                cholmod_dense *Y = SuiteSparseQR_qmult<double, I>(SPQR_QTX, F->qr, B.get(), cc);
                F->status("qmult");
                X = SuiteSparseQR_solve<double, I>(SPQR_RETX_EQUALS_B, F->qr, Y, cc);
                F->status("solve");
                Lib<I>::free_dense(&Y, cc);
            }
            if (*last) Lib<I>::free_dense(last.get(), cc);
            *last = X;
        };
        op->check = [last] { return dense_check(*last); };
        op->teardown = [F, last] {
            if (*last) Lib<I>::free_dense(last.get(), &F->cc);
        };
        return op;
    }

    if (name == "solve_sparse" || name == "solve_sparse_lib") {
        const Array &bshape = cs.get("Bs_shape");
        const int64_t bm = bshape.template data<int64_t>()[0], K = bshape.template data<int64_t>()[1];
        auto Bs = std::make_shared<cholmod_sparse>(sparse_view<I>(bm, K, cs.get("Bs_p"), cs.get("Bs_i"), cs.get("Bs_x")));
        auto last = std::make_shared<cholmod_sparse *>(nullptr);
        if (name == "solve_sparse_lib") {
            // The library's own sparse path: Q'B sparse, then R\ on the whole of it.
            op->run = [=] {
                cholmod_sparse *Y = SuiteSparseQR_qmult<double, I>(SPQR_QTX, F->qr, Bs.get(), cc);
                F->status("qmult");
                cholmod_sparse *X = SuiteSparseQR_solve<double, I>(SPQR_RETX_EQUALS_B, F->qr, Y, cc);
                F->status("solve");
                Lib<I>::free_sparse(&Y, cc);
                if (*last) Lib<I>::free_sparse(last.get(), cc);
                *last = X;
            };
        } else {
            // The same library work as ferrow's: batches of at most 100 columns scattered
            // into one reused column-major block, solved densely, gathered into one CSC result.
            const int64_t batch = 100;
            op->run = [=] {
                const I *bp = static_cast<const I *>(Bs->p), *bi = static_cast<const I *>(Bs->i);
                const double *bx = static_cast<const double *>(Bs->x);
                const int64_t kb = std::min(batch, K);
                auto work = raw<double>(bm * kb);
                std::vector<std::vector<I>> colp;  // per batch: column counts
                std::vector<cholmod_dense *> blocks;
                int64_t total = 0;
                for (int64_t start = 0; start < K; start += batch) {
                    const int64_t stop = std::min(start + batch, K), w = stop - start;
                    std::memset(work.get(), 0, sizeof(double) * (size_t)(bm * w));
                    for (int64_t j = start; j < stop; ++j)
                        for (I k = bp[j]; k < bp[j + 1]; ++k) work[(j - start) * bm + bi[k]] += bx[k];
                    cholmod_dense W;
                    std::memset(&W, 0, sizeof W);
                    W.nrow = (size_t)bm; W.ncol = (size_t)w; W.nzmax = W.nrow * W.ncol; W.d = W.nrow;
                    W.x = work.get(); W.xtype = CHOLMOD_REAL; W.dtype = CHOLMOD_DOUBLE;
                    cholmod_dense *Y = SuiteSparseQR_qmult<double, I>(SPQR_QTX, F->qr, &W, cc);
                    F->status("qmult");
                    cholmod_dense *X = SuiteSparseQR_solve<double, I>(SPQR_RETX_EQUALS_B, F->qr, Y, cc);
                    F->status("solve");
                    Lib<I>::free_dense(&Y, cc);
                    const double *x = static_cast<const double *>(X->x);
                    for (size_t k = 0; k < X->nrow * X->ncol; ++k) total += x[k] != 0.0;
                    blocks.push_back(X);
                }
                const int64_t n = (int64_t)blocks[0]->nrow;
                cholmod_sparse *S = (sizeof(I) == 4 ? cholmod_allocate_sparse : cholmod_l_allocate_sparse)(
                    (size_t)n, (size_t)K, (size_t)std::max<int64_t>(total, 1), 1, 1, 0, CHOLMOD_REAL + CHOLMOD_DOUBLE, cc);
                if (!S) fail("out of memory");
                I *sp = static_cast<I *>(S->p), *si = static_cast<I *>(S->i);
                double *sx = static_cast<double *>(S->x);
                int64_t nz = 0, col = 0;
                for (cholmod_dense *X : blocks) {
                    const double *x = static_cast<const double *>(X->x);
                    for (size_t j = 0; j < X->ncol; ++j, ++col) {
                        sp[col] = (I)nz;
                        for (int64_t i = 0; i < n; ++i)
                            if (x[j * X->d + i] != 0.0) { si[nz] = (I)i; sx[nz++] = x[j * X->d + i]; }
                    }
                    cholmod_dense *Xf = X;
                    Lib<I>::free_dense(&Xf, cc);
                }
                sp[K] = (I)nz;
                if (*last) Lib<I>::free_sparse(last.get(), cc);
                *last = S;
            };
        }
        op->check = [last] { return sparse_check(*last); };
        op->teardown = [F, last] {
            if (*last) Lib<I>::free_sparse(last.get(), &F->cc);
        };
        return op;
    }

    if (name == "copy") {
        auto last = std::make_shared<std::unique_ptr<Factor<I>>>();
        op->run = [=] {
            auto f = std::make_unique<Factor<I>>();
            f->qr = copy_factor(F->qr);
            *last = std::move(f);
        };
        auto B = std::make_shared<cholmod_dense>(dense_view(cs.get("b1")));
        op->check = [last, B] {
            // The copy solves like the original.
            cholmod_common *c2 = &(*last)->cc;
            cholmod_dense *Y = SuiteSparseQR_qmult<double, I>(SPQR_QTX, (*last)->qr, B.get(), c2);
            cholmod_dense *X = SuiteSparseQR_solve<double, I>(SPQR_RETX_EQUALS_B, (*last)->qr, Y, c2);
            std::string s = "rank=" + std::to_string((int64_t)(*last)->qr->rank) + " " + dense_check(X);
            Lib<I>::free_dense(&Y, c2);
            Lib<I>::free_dense(&X, c2);
            return s;
        };
        op->teardown = [F, last] { last->reset(); };
        return op;
    }

    return nullptr;
}

std::unique_ptr<Op> make(Case &cs, const std::string &name) {
    std::unique_ptr<Op> op = cs.int64() ? make_op<int64_t>(cs, name) : make_op<int32_t>(cs, name);
    if (!op) op = cs.int64() ? make_qr_op<int64_t>(cs, name) : make_qr_op<int32_t>(cs, name);
    if (!op) fail("unknown operation " + name);
    return op;
}

void load_case(Case &cs, const std::string &dir) {
    cs.arrays.clear();
    cs.dir = dir;
    const Array &shape = cs.get("shape");
    cs.M = shape.data<int64_t>()[0];
    cs.N = shape.data<int64_t>()[1];
    if (cs.get("Ap").descr != cs.get("Ai").descr) fail("Ap and Ai differ in type");
}

std::string json_escape(const std::string &s) {
    std::string o;
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        o += c;
    }
    return o;
}

// CPU time of the process (all threads): unlike the wall clock it does not count the
// time other processes hold the cores.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

int serve() {
    Case cs;
    std::unique_ptr<Op> op;
    std::string cur;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        try {
            if (cmd == "quit") break;
            if (cmd == "load") {
                std::string dir;
                in >> dir;
                op.reset();
                cur.clear();
                load_case(cs, dir);
                std::cout << "{\"ok\": true, \"M\": " << cs.M << ", \"N\": " << cs.N << "}" << std::endl;
            } else if (cmd == "time") {
                std::string name;
                long reps = 0, inner = 0;
                in >> name >> reps >> inner;
                if (name != cur) {
                    op.reset();
                    op = make(cs, name);
                    cur = name;
                }
                std::vector<double> times, cpu;
                for (long r = 0; r < reps; ++r) {
                    double c0 = cpu_seconds();
                    auto t0 = std::chrono::steady_clock::now();
                    for (long k = 0; k < inner; ++k) op->run();
                    auto t1 = std::chrono::steady_clock::now();
                    double c1 = cpu_seconds();
                    times.push_back(std::chrono::duration<double>(t1 - t0).count() / (double)inner);
                    cpu.push_back((c1 - c0) / (double)inner);
                }
                std::ostringstream o;
                o.precision(9);
                o << "{\"ok\": true, \"times\": [";
                for (size_t r = 0; r < times.size(); ++r) o << (r ? ", " : "") << times[r];
                o << "], \"cpu\": [";
                for (size_t r = 0; r < cpu.size(); ++r) o << (r ? ", " : "") << cpu[r];
                o << "]}";
                std::cout << o.str() << std::endl;
            } else if (cmd == "check") {
                std::string name;
                in >> name;
                if (name != cur || !op) fail("check of an operation that has not run: " + name);
                std::cout << "{\"ok\": true, \"check\": \"" << json_escape(op->check()) << "\"}" << std::endl;
            } else if (cmd == "version") {
                int v[3];
                auto put = [&](const char *name, void (*f)(int *)) {
                    f(v);
                    std::cout << ", \"" << name << "\": \"" << v[0] << "." << v[1] << "." << v[2] << "\"";
                };
                SuiteSparse_version(v);
                std::cout << "{\"ok\": true, \"SuiteSparse\": \"" << v[0] << "." << v[1] << "." << v[2] << "\"";
                put("CAMD", camd_version);
                put("COLAMD", colamd_version);
                put("CCOLAMD", ccolamd_version);
                put("BTF", btf_version);
                put("CHOLMOD", [](int *w) { cholmod_version(w); });
                put("SPQR", SuiteSparseQR_version);
                std::cout << ", \"compiler\": \"" << json_escape(__VERSION__) << "\"}" << std::endl;
            } else if (cmd == "drop") {
                op.reset();
                cur.clear();
                std::cout << "{\"ok\": true}" << std::endl;
            } else {
                fail("unknown command " + cmd);
            }
        } catch (const std::exception &e) {
            op.reset();
            cur.clear();
            std::cout << "{\"ok\": false, \"error\": \"" << json_escape(e.what()) << "\"}" << std::endl;
        }
    }
    return 0;
}

long status_kib(const char *key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    size_t n = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, n, key) == 0 && line[n] == ':') return std::stol(line.substr(n + 1));
    fail(std::string("no ") + key + " in /proc/self/status");
}

int mem(const std::string &warm, const std::string &dir, const std::string &name) {
    {
        Case w;
        load_case(w, warm);
        auto op = make(w, name);
        op->run();
    }
    Case cs;
    load_case(cs, dir);
    auto op = make(cs, name);
    malloc_trim(0);  // free heap pages go back to the system, so the call's own allocations show
    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
    }
    long rss0 = status_kib("VmRSS");
    op->run();
    long hwm = status_kib("VmHWM");
    std::cout << "{\"ok\": true, \"rss0_kib\": " << rss0 << ", \"peak_kib\": " << hwm
              << ", \"delta_kib\": " << (hwm - rss0) << ", \"check\": \"" << json_escape(op->check()) << "\"}"
              << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        if (argc == 2 && std::string(argv[1]) == "serve") return serve();
        if (argc == 5 && std::string(argv[1]) == "mem") return mem(argv[2], argv[3], argv[4]);
        std::cerr << "usage: ferrow_bench_driver serve | mem <warm-up dir> <case dir> <op>\n";
        return 2;
    } catch (const std::exception &e) {
        std::cout << "{\"ok\": false, \"error\": \"" << json_escape(e.what()) << "\"}" << std::endl;
        return 1;
    }
}
