// Deep copy of a SuiteSparseQR factorisation. The library has no copy routine, so the
// copy walks its three published records (SuiteSparseQR_factorization, spqr_symbolic,
// spqr_numeric) member by member.
//
// Every block is allocated with cholmod_malloc in the copy's own common block, so it is
// accounted there exactly as the library's own blocks are, and SuiteSparseQR_free
// (which releases through cholmod_free with the sizes the records give) balances it.
// Each record is zeroed as soon as it is allocated and attached to its parent at once:
// a copy that fails part-way is a valid, partly filled factorisation whose unfilled
// members are null, released like any other.
#include <cstddef>
#include <cstring>

#include "spqr/factor.hpp"

namespace ferrow::spqr {

//------------------------------------------------------------------------------
// The record layout this copy knows. A SuiteSparseQR whose records have other members,
// in another order or of other sizes, fails to compile here instead of being copied
// wrongly.
//------------------------------------------------------------------------------

static_assert(SPQR_MAIN_VERSION == 4, "the factor copy walks the records of SPQR 4");

namespace layout {

template <class I> struct Symbolic {
    I m, n, anz;
    I *Sp, *Sj, *Qfill, *PLinv, *Sleft;
    I nf, maxfn;
    I *Parent, *Child, *Childp, *Super, *Rp, *Rj, *Post;
    I rjsize, do_rank_detection, maxstack, hisize, keepH;
    I *Hip;
    I ntasks, ns;
    I *TaskChildp, *TaskChild, *TaskStack, *TaskFront, *TaskFrontp, *On_stack, *Stack_maxstack,
        *Fm, *Cm;
    size_t maxcsize, maxesize;
    I *ColCount;
    void *QRgpu;
};

template <class E, class I> struct Numeric {
    E **Rblock;
    E **Stacks;
    I *Stack_size;
    I hisize, n, m, nf, ntasks, ns, maxstack;
    char *Rdead;
    I rank, rank1, maxfrank;
    double norm_E_fro;
    I keepH, rjsize;
    I *HStair;
    E *HTau;
    I *Hii, *HPinv, *Hm, *Hr;
    I maxfm;
};

template <class E, class I> struct Factorization {
    double tol;
    void *QRsym, *QRnum;
    I *R1p, *R1j;
    E *R1x;
    I r1nz;
    I *Q1fill, *P1inv, *HP1inv, *Rmap, *RmapInv;
    I n1rows, n1cols, narows, nacols, bncols, rank;
    int allow_tol;
};

#define FERROW_SAME(member) static_assert(offsetof(R, member) == offsetof(L, member), #member)

template <class I> constexpr bool check_symbolic() {
    using R = spqr_symbolic<I>;
    using L = Symbolic<I>;
    static_assert(sizeof(R) == sizeof(L), "spqr_symbolic has another size");
    FERROW_SAME(m); FERROW_SAME(n); FERROW_SAME(anz); FERROW_SAME(Sp); FERROW_SAME(Sj);
    FERROW_SAME(Qfill); FERROW_SAME(PLinv); FERROW_SAME(Sleft); FERROW_SAME(nf);
    FERROW_SAME(maxfn); FERROW_SAME(Parent); FERROW_SAME(Child); FERROW_SAME(Childp);
    FERROW_SAME(Super); FERROW_SAME(Rp); FERROW_SAME(Rj); FERROW_SAME(Post); FERROW_SAME(rjsize);
    FERROW_SAME(do_rank_detection); FERROW_SAME(maxstack); FERROW_SAME(hisize);
    FERROW_SAME(keepH); FERROW_SAME(Hip); FERROW_SAME(ntasks); FERROW_SAME(ns);
    FERROW_SAME(TaskChildp); FERROW_SAME(TaskChild); FERROW_SAME(TaskStack);
    FERROW_SAME(TaskFront); FERROW_SAME(TaskFrontp); FERROW_SAME(On_stack);
    FERROW_SAME(Stack_maxstack); FERROW_SAME(Fm); FERROW_SAME(Cm); FERROW_SAME(maxcsize);
    FERROW_SAME(maxesize); FERROW_SAME(ColCount); FERROW_SAME(QRgpu);
    return true;
}

template <class E, class I> constexpr bool check_numeric() {
    using R = spqr_numeric<E, I>;
    using L = Numeric<E, I>;
    static_assert(sizeof(R) == sizeof(L), "spqr_numeric has another size");
    FERROW_SAME(Rblock); FERROW_SAME(Stacks); FERROW_SAME(Stack_size); FERROW_SAME(hisize);
    FERROW_SAME(n); FERROW_SAME(m); FERROW_SAME(nf); FERROW_SAME(ntasks); FERROW_SAME(ns);
    FERROW_SAME(maxstack); FERROW_SAME(Rdead); FERROW_SAME(rank); FERROW_SAME(rank1);
    FERROW_SAME(maxfrank); FERROW_SAME(norm_E_fro); FERROW_SAME(keepH); FERROW_SAME(rjsize);
    FERROW_SAME(HStair); FERROW_SAME(HTau); FERROW_SAME(Hii); FERROW_SAME(HPinv);
    FERROW_SAME(Hm); FERROW_SAME(Hr); FERROW_SAME(maxfm);
    return true;
}

template <class E, class I> constexpr bool check_factorization() {
    using R = SuiteSparseQR_factorization<E, I>;
    using L = Factorization<E, I>;
    static_assert(sizeof(R) == sizeof(L), "SuiteSparseQR_factorization has another size");
    FERROW_SAME(tol); FERROW_SAME(QRsym); FERROW_SAME(QRnum); FERROW_SAME(R1p);
    FERROW_SAME(R1j); FERROW_SAME(R1x); FERROW_SAME(r1nz); FERROW_SAME(Q1fill);
    FERROW_SAME(P1inv); FERROW_SAME(HP1inv); FERROW_SAME(Rmap); FERROW_SAME(RmapInv);
    FERROW_SAME(n1rows); FERROW_SAME(n1cols); FERROW_SAME(narows); FERROW_SAME(nacols);
    FERROW_SAME(bncols); FERROW_SAME(rank); FERROW_SAME(allow_tol);
    return true;
}

#undef FERROW_SAME

static_assert(check_symbolic<int32_t>() && check_symbolic<int64_t>());
static_assert(check_numeric<double, int32_t>() && check_numeric<double, int64_t>() &&
              check_numeric<Complex, int32_t>() && check_numeric<Complex, int64_t>());
static_assert(check_factorization<double, int32_t>() && check_factorization<double, int64_t>() &&
              check_factorization<Complex, int32_t>() &&
              check_factorization<Complex, int64_t>());

}  // namespace layout

//------------------------------------------------------------------------------
// Allocation
//------------------------------------------------------------------------------

void *CopyAllocator::allocate(size_t n, size_t size) {
    if (count++ == fail_at)
        throw CopyFailure{CopyFailure::library, CHOLMOD_OUT_OF_MEMORY};
    void *p = use_int32 ? cholmod_malloc(n, size, cc) : cholmod_l_malloc(n, size, cc);
    if (p == nullptr)
        throw CopyFailure{CopyFailure::library,
                          cc->status != CHOLMOD_OK ? cc->status : CHOLMOD_OUT_OF_MEMORY};
    return p;
}

namespace {

[[noreturn]] void raise_assertion() { throw CopyFailure{CopyFailure::assertion}; }

// A new block holding a copy of the `n` elements at `src`; null when `src` is null.
template <class T, class N> T *duplicate(const T *src, N n, CopyAllocator &alloc) {
    if (src == nullptr)
        return nullptr;
    if (n < 0)
        throw CopyFailure{CopyFailure::negative_size};
    T *p = static_cast<T *>(alloc.allocate((size_t)n, sizeof(T)));
    if (n > 0)
        std::memcpy(p, src, (size_t)n * sizeof(T));
    return p;
}

// A zeroed record of type T, allocated in the copy's common block.
template <class T> T *new_record(CopyAllocator &alloc) {
    T *p = static_cast<T *>(alloc.allocate(1, sizeof(T)));
    std::memset(static_cast<void *>(p), 0, sizeof(T));
    return p;
}

// A zeroed array of `n` pointers.
template <class T, class N> T **new_pointers(N n, CopyAllocator &alloc) {
    if (n < 0)
        throw CopyFailure{CopyFailure::negative_size};
    T **p = static_cast<T **>(alloc.allocate((size_t)n, sizeof(T *)));
    if (n > 0)
        std::memset(static_cast<void *>(p), 0, (size_t)n * sizeof(T *));
    return p;
}

template <class I>
void copy_symbolic(spqr_symbolic<I> *dst, const spqr_symbolic<I> *src, CopyAllocator &alloc) {
    if (dst == nullptr || src == nullptr)
        raise_assertion();
    // Scalars first: the release of a partial copy reads the sizes from them.
    dst->m = src->m;
    dst->n = src->n;
    dst->anz = src->anz;
    dst->nf = src->nf;
    dst->maxfn = src->maxfn;
    dst->rjsize = src->rjsize;
    dst->do_rank_detection = src->do_rank_detection;
    dst->maxstack = src->maxstack;
    dst->hisize = src->hisize;
    dst->keepH = src->keepH;
    dst->ntasks = src->ntasks;
    dst->ns = src->ns;
    if (src->ntasks > 1 || src->QRgpu != nullptr)
        throw CopyFailure{CopyFailure::not_supported};
    dst->maxcsize = src->maxcsize;
    dst->maxesize = src->maxesize;

    const I m = src->m, n = src->n, nf = src->nf;
    dst->Sp = duplicate(src->Sp, m + 1, alloc);
    dst->Sj = duplicate(src->Sj, src->anz, alloc);
    dst->Qfill = duplicate(src->Qfill, n, alloc);
    dst->PLinv = duplicate(src->PLinv, m, alloc);
    dst->Sleft = duplicate(src->Sleft, n + 2, alloc);
    dst->Parent = duplicate(src->Parent, nf + 1, alloc);
    dst->Child = duplicate(src->Child, nf + 1, alloc);
    dst->Childp = duplicate(src->Childp, nf + 2, alloc);
    dst->Super = duplicate(src->Super, nf + 1, alloc);
    dst->Rp = duplicate(src->Rp, nf + 1, alloc);
    dst->Rj = duplicate(src->Rj, src->rjsize, alloc);
    dst->Post = duplicate(src->Post, nf + 1, alloc);
    dst->Hip = duplicate(src->Hip, nf + 1, alloc);
    // The task graph (absent for a sequential analysis), the row counts Fm and Cm and
    // the column counts, which only the analysis itself and the GPU factorisation read,
    // and the GPU data stay null.
}

// Number of entries of stack s, as the library's release of the numeric record reads it.
template <class E, class I> int64_t stack_length(const spqr_numeric<E, I> *num, int64_t s) {
    return num->Stack_size ? (int64_t)num->Stack_size[s] : (int64_t)num->maxstack;
}

// The copy's address of an R block: the same offset into the copy of the stack it lies in.
template <class E, class I>
E *relocate(const E *p, const spqr_numeric<E, I> *src, const spqr_numeric<E, I> *dst) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    // A block lies inside a stack; an empty block may also sit right at the end of one.
    for (int pass = 0; pass < 2; ++pass) {
        for (int64_t s = 0; s < (int64_t)src->ns; ++s) {
            if (src->Stacks[s] == nullptr || dst->Stacks[s] == nullptr)
                continue;
            const uintptr_t base = reinterpret_cast<uintptr_t>(src->Stacks[s]);
            const uintptr_t end = base + (uintptr_t)stack_length(src, s) * sizeof(E);
            const bool inside = pass == 0 ? (a >= base && a < end) : a == end;
            if (inside && (a - base) % sizeof(E) == 0)
                return dst->Stacks[s] + (a - base) / sizeof(E);
        }
    }
    throw CopyFailure{CopyFailure::rblock};
}

template <class E, class I>
void copy_numeric(spqr_numeric<E, I> *dst, const spqr_numeric<E, I> *src, CopyAllocator &alloc) {
    if (dst == nullptr || src == nullptr)
        raise_assertion();
    dst->hisize = src->hisize;
    dst->n = src->n;
    dst->m = src->m;
    dst->nf = src->nf;
    dst->ntasks = src->ntasks;
    dst->ns = src->ns;
    dst->maxstack = src->maxstack;
    dst->rank = src->rank;
    dst->rank1 = src->rank1;
    dst->maxfrank = src->maxfrank;
    dst->norm_E_fro = src->norm_E_fro;
    dst->keepH = src->keepH;
    dst->rjsize = src->rjsize;
    dst->maxfm = src->maxfm;

    const I ns = src->ns, nf = src->nf;
    // The stack sizes before the stacks: releasing the stacks reads them.
    dst->Stack_size = duplicate(src->Stack_size, ns, alloc);
    if (src->Stacks != nullptr) {
        dst->Stacks = new_pointers<E>(ns, alloc);
        for (I s = 0; s < ns; ++s)
            dst->Stacks[s] = duplicate(src->Stacks[s], stack_length(src, s), alloc);
    }
    if (src->Rblock != nullptr) {
        dst->Rblock = new_pointers<E>(nf, alloc);
        for (I f = 0; f < nf; ++f)
            if (src->Rblock[f] != nullptr) {
                if (src->Stacks == nullptr)
                    throw CopyFailure{CopyFailure::rblock};
                dst->Rblock[f] = relocate(src->Rblock[f], src, dst);
            }
    }
    dst->Rdead = duplicate(src->Rdead, src->n, alloc);
    // The Householder vectors: present (and released by the library) only when kept.
    if (src->keepH) {
        dst->HStair = duplicate(src->HStair, src->rjsize, alloc);
        dst->HTau = duplicate(src->HTau, src->rjsize, alloc);
        dst->Hii = duplicate(src->Hii, src->hisize, alloc);
        dst->HPinv = duplicate(src->HPinv, src->m, alloc);
        dst->Hm = duplicate(src->Hm, nf, alloc);
        dst->Hr = duplicate(src->Hr, nf, alloc);
    }
}

template <class E, class I>
void copy_factor_record(QRFactorization<E, I> *dst, const QRFactorization<E, I> *src,
                        CopyAllocator &alloc) {
    if (dst == nullptr || src == nullptr)
        raise_assertion();
    dst->tol = src->tol;
    dst->r1nz = src->r1nz;
    dst->n1rows = src->n1rows;
    dst->n1cols = src->n1cols;
    dst->narows = src->narows;
    dst->nacols = src->nacols;
    dst->bncols = src->bncols;
    dst->rank = src->rank;
    dst->allow_tol = src->allow_tol;
    if (src->QRsym != nullptr) {
        dst->QRsym = new_record<spqr_symbolic<I>>(alloc);
        copy_symbolic(dst->QRsym, src->QRsym, alloc);
    }
    if (src->QRnum != nullptr) {
        dst->QRnum = new_record<spqr_numeric<E, I>>(alloc);
        copy_numeric(dst->QRnum, src->QRnum, alloc);
    }
    dst->R1p = duplicate(src->R1p, src->n1rows + 1, alloc);
    dst->R1j = duplicate(src->R1j, src->r1nz, alloc);
    dst->R1x = duplicate(src->R1x, src->r1nz, alloc);
    dst->Q1fill = duplicate(src->Q1fill, src->nacols + src->bncols, alloc);
    dst->P1inv = duplicate(src->P1inv, src->narows, alloc);
    dst->HP1inv = duplicate(src->HP1inv, src->narows, alloc);
    dst->Rmap = duplicate(src->Rmap, src->nacols, alloc);
    dst->RmapInv = duplicate(src->RmapInv, src->nacols, alloc);
}

}  // namespace

[[noreturn]] void raise_copy_failure(const CopyFailure &e) {
    switch (e.kind) {
        case CopyFailure::negative_size:
            raise_object(obj.SPQRError.get(),
                         "Failed to copy the factorization: an array has a negative size.");
        case CopyFailure::rblock:
            raise_object(obj.SPQRError.get(), "Failed to copy Rblock pointers.");
        case CopyFailure::not_supported:
            raise(PyExc_NotImplementedError, "SPQR task parallelism and GPU not yet supported.");
        case CopyFailure::library:
            handle_errors(e.status);
            break;
        case CopyFailure::assertion:
            break;
    }
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

void copy_factorization(Factor &dst, Factor &src, CopyAllocator &alloc) {
    if (dst.cm == nullptr || src.cm == nullptr || dst.is_real != src.is_real ||
        dst.use_int32 != src.use_int32)
        raise_assertion();
    src.visit([&](auto v) {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        const QRFactorization<E, I> *from = src.handle<E, I>();
        if (from == nullptr || dst.handle<E, I>() != nullptr)
            raise_assertion();
        QRFactorization<E, I> *to = new_record<QRFactorization<E, I>>(alloc);
        dst.handle<E, I>() = to;  // owned by dst from here on
        copy_factor_record(to, from, alloc);
    });
}

}  // namespace ferrow::spqr
