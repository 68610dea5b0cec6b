"""_AlgorithmInput: what the algorithm2 modules read from it."""
import numpy as np
import pytest

from halvorne_beta.algorithms.input import _AlgorithmInput


def test_members():
    points = np.arange(12, dtype=np.float64).reshape(6, 2)
    labels = [-1, 2, -1, 0, 0, -1]
    X = _AlgorithmInput(points, labels)
    assert X.n == 6 and X.labeled_count == 3 and type(X.n) is int and type(X.labeled_count) is int
    assert X.labeled_indices.dtype == np.int64 and X.labeled_indices.tolist() == [1, 3, 4]
    assert X.labeled_indices.flags.writeable and X.labeled_indices.flags.c_contiguous
    assert X.data.dtype == np.float32 and X.data.flags.c_contiguous and np.array_equal(X.data, points)
    labelled = X.get_labeled()
    assert labelled.dtype == np.float32 and labelled.tolist() == [[2, 3], [6, 7], [8, 9]]
    assert X.labels.tolist() == labels and X.labels.dtype == np.int64
    assert _AlgorithmInput.__doc__ == ("Input data object containing node information and methods to access "
                                       "labeled indices and other metadata.")


def test_data_is_a_copy_when_the_points_are_not_float32():
    points = np.ones((3, 2))
    X = _AlgorithmInput(points, [0, -1, -1])
    points[0, 0] = 5
    assert X.data[0, 0] == 1


@pytest.mark.parametrize("labels", [np.array([-1, -1], dtype=np.int8), np.array([-1, -1], dtype=np.int32)])
def test_no_labelled_point(labels):
    X = _AlgorithmInput(np.zeros((2, 3)), labels)
    assert X.labeled_count == 0 and X.labeled_indices.shape == (0,) and X.get_labeled().shape == (0, 3)


@pytest.mark.parametrize("points, labels, message", [
    (np.zeros(4), [-1] * 4, "two-dimensional"),
    (np.zeros((2, 2, 2)), [-1] * 2, "two-dimensional"),
    (np.zeros((3, 2)), [-1] * 2, "labels has 2 entries but there are 3 points"),
    (np.zeros((2, 2)), [[-1, -1]], "one-dimensional"),
    (np.zeros((2, 2)), [0.5, -1.0], "labels must be integers"),
    (np.zeros((2, 2)), [True, False], "labels must be integers"),
    (np.zeros((2, 2)), ["a", "b"], "labels must be integers"),
    (np.zeros((2, 2)), [-2, 0], "-1 \\(unlabelled\\) or a class label >= 0"),
    (np.array([["a", "b"]]), [0], "real numbers"),
    (np.zeros((1, 2), dtype=complex), [0], "real numbers"),
])
def test_bad_input(points, labels, message):
    with pytest.raises(ValueError, match=message):
        _AlgorithmInput(points, labels)
