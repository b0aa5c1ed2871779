"""The C++ hash test compares against tests/cpp/murmur_vectors.txt; this keeps
that file honest by recomputing it with the independent mmh3 package."""
import pathlib
import runpy

CPP = pathlib.Path(__file__).parent / "cpp"


def test_vector_file_matches_mmh3():
    generator = runpy.run_path(str(CPP / "make_vectors.py"))
    assert (CPP / "murmur_vectors.txt").read_text() == "".join(generator["lines"]())
