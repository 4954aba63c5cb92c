"""Vector and batch argument forms, numpy layouts included."""

import array

import pytest

import kelpo


def stored(db, id):
    return db.get(id)[0]


class TestOneVector:
    @pytest.mark.parametrize(
        "vector",
        [[1, 2, 3, 4], (1.0, 2.0, 3.0, 4.0), range(1, 5), array.array("f", [1, 2, 3, 4]),
         array.array("d", [1, 2, 3, 4]), memoryview(array.array("f", [1, 2, 3, 4]))],
    )
    def test_sequence_forms(self, db, vector):
        db.add("v", vector)
        assert stored(db, "v") == [1.0, 2.0, 3.0, 4.0]

    def test_components_are_narrowed_to_float32(self, db):
        db.add("v", [0.1, 3e38, -1e-50, 2**24 + 1])
        assert stored(db, "v") == [0.10000000149011612, 3.0000000054977558e+38, -0.0, 16777216.0]

    def test_items_with_float_or_index_conversions(self, db):
        class F:
            def __float__(self):
                return 2.5

        class I:
            def __index__(self):
                return 7

        db.add("v", [F(), I(), True, 1])
        assert stored(db, "v") == [2.5, 7.0, 1.0, 1.0]

    @pytest.mark.parametrize(
        "vector, reason",
        [
            ("abcd", "Can't extract `str` to `Vec`"),
            (5, "'int' object is not a sequence"),
            ({1: 2}, "'dict' object is not a sequence"),
            ([1, "x", 3, 4], "item 1: must be real number, not str"),
            ([1, [2], 3, 4], "item 1: must be real number, not list"),
        ],
    )
    def test_rejected_forms(self, db, vector, reason):
        with pytest.raises(TypeError) as info:
            db.add("v", vector)
        lines = str(info.value).split("\n")
        assert lines[0] == "argument 'vector': failed to extract enum VectorInput ('List | Numpy')"
        assert lines[1] == f"- variant List: {reason}"
        assert lines[2].startswith("- variant Numpy: ")
        assert len(lines) == 3

    def test_search_names_its_argument(self, db):
        with pytest.raises(TypeError, match="^argument 'vector': failed to extract enum VectorInput"):
            db.search("abcd")

    @pytest.mark.parametrize("dtype", ["float32", "float64", "float16", "int64", "uint8", ">f4"])
    def test_numpy_dtypes(self, db, np, dtype):
        db.add("v", np.array([1, 2, 3, 4], dtype=dtype))
        assert stored(db, "v") == [1.0, 2.0, 3.0, 4.0]

    def test_numpy_strided_and_reversed(self, db, np):
        base = np.arange(8, dtype=np.float32)
        db.add("step", base[::2])
        db.add("rev", base[3::-1])
        db.add("f64", np.arange(8.0)[1::2])
        assert stored(db, "step") == [0.0, 2.0, 4.0, 6.0]
        assert stored(db, "rev") == [3.0, 2.0, 1.0, 0.0]
        assert stored(db, "f64") == [1.0, 3.0, 5.0, 7.0]

    def test_numpy_wrong_shapes(self, db, np):
        for bad in (np.zeros((2, 2), np.float32), np.float32(1.0), np.array(1.0, np.float32)):
            with pytest.raises(TypeError, match="^argument 'vector': failed to extract enum VectorInput"):
                db.add("v", bad)

    def test_numpy_query_matches_list_query(self, filled, np):
        q = [0.5, 0.1, 0, 0]
        expect = [(h.id, h.distance) for h in filled.search(q)]
        for arr in (np.array(q, np.float32), np.array(q), np.array(q, np.float32)[None, :][0]):
            assert [(h.id, h.distance) for h in filled.search(arr)] == expect


class TestBatches:
    ROWS = [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]]

    def check(self, db, vectors):
        db.add_many(["x", "y", "z"], vectors)
        assert [stored(db, i) for i in "xyz"] == [[float(v) for v in row] for row in self.ROWS]

    @pytest.mark.parametrize(
        "make",
        [lambda r: r, lambda r: tuple(tuple(x) for x in r), lambda r: [array.array("f", x) for x in r]],
    )
    def test_sequence_forms(self, db, make):
        self.check(db, make(self.ROWS))

    @pytest.mark.parametrize(
        "make",
        [
            lambda np, r: np.array(r, np.float32),
            lambda np, r: np.asfortranarray(np.array(r, np.float32)),
            lambda np, r: np.array(r, np.float64),
            lambda np, r: np.array(r, np.int32),
            lambda np, r: [np.array(x, np.float32) for x in r],
            lambda np, r: np.array(r, np.float32).T.copy().T,  # Fortran order by transposition
            lambda np, r: np.repeat(np.array(r, np.float64), 2, axis=1)[:, ::2],  # strided, not float32
        ],
    )
    def test_numpy_forms(self, db, np, make):
        self.check(db, make(np, self.ROWS))

    def test_non_contiguous_float32_is_refused(self, db, np):
        wide = np.zeros((3, 8), np.float32)
        for bad in (wide[:, ::2], np.zeros((6, 4), np.float32)[::2]):
            with pytest.raises(TypeError, match="^The given array is not contiguous$"):
                db.add_many(["x", "y", "z"], bad)
            with pytest.raises(TypeError, match="^The given array is not contiguous$"):
                db.search_many(bad)
        assert len(db) == 0

    def test_float32_views_that_are_contiguous(self, db, np):
        big = np.arange(40, dtype=np.float32).reshape(10, 4)
        db.add_many(["x", "y"], big[3:5])
        assert stored(db, "y") == [16.0, 17.0, 18.0, 19.0]
        db.add_many([], np.zeros((0, 4), np.float32))
        assert len(db) == 2

    def test_ragged_rows_reach_the_engine(self, db):
        with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 2$"):
            db.add_many(["x", "y"], [[1, 2, 3, 4], [1, 2]])

    @pytest.mark.parametrize(
        "vectors, lists_reason",
        [
            ("abcd", "Can't extract `str` to `Vec`"),
            (7, "'int' object is not a sequence"),
            ([[1, 2, 3, 4], "abcd"], "item 1: Can't extract `str` to `Vec`"),
            ([[1, 2, 3, 4], [1, None, 3, 4]], "item 1: item 1: must be real number, not NoneType"),
        ],
    )
    def test_rejected_forms(self, db, vectors, lists_reason):
        with pytest.raises(TypeError) as info:
            db.add_many(["x", "y"], vectors)
        lines = str(info.value).split("\n")
        assert lines[0] == "argument 'vectors': failed to extract enum BatchVectorInput ('Numpy | Lists')"
        assert lines[1].startswith("- variant Numpy: ")
        assert lines[2] == f"- variant Lists: {lists_reason}"

    def test_three_dimensional_array(self, db, np):
        with pytest.raises(TypeError, match="BatchVectorInput"):
            db.add_many(["x"], np.zeros((1, 2, 4), np.float32))

    def test_search_many_on_numpy_and_lists_agree(self, filled, np):
        queries = [[0.2, 0, 0, 0], [3.9, 0, 0, 0]]
        expect = [[(h.id, h.distance) for h in hits] for hits in filled.search_many(queries, k=2)]
        assert [[h.id for h in hits] for hits in filled.search_many(queries, k=2)] == [["a", "b"], ["e", "d"]]
        for form in (np.array(queries, np.float32), np.asfortranarray(np.array(queries, np.float32)),
                     np.array(queries)):
            got = [[(h.id, h.distance) for h in hits] for hits in filled.search_many(form, k=2)]
            assert got == expect
