"""The input object handed to the native algorithm2 modules."""
import numpy as np

__all__ = ["_AlgorithmInput"]


class _AlgorithmInput:
    """Input data object containing node information and methods to access labeled indices and other metadata."""

    def __init__(self, points, labels):
        points = np.asarray(points)
        labels = np.asarray(labels)
        if points.ndim != 2:
            raise ValueError(f"points must be a two-dimensional array (one row per point), got {points.ndim} dimensions")
        if not (np.issubdtype(points.dtype, np.integer) or np.issubdtype(points.dtype, np.floating)) or \
                points.dtype == np.bool_:
            raise ValueError(f"points must hold real numbers, got dtype {points.dtype}")
        if labels.ndim != 1:
            raise ValueError(f"labels must be a one-dimensional array, got {labels.ndim} dimensions")
        if labels.shape[0] != points.shape[0]:
            raise ValueError(f"labels has {labels.shape[0]} entries but there are {points.shape[0]} points")
        if labels.dtype == np.bool_ or not np.issubdtype(labels.dtype, np.integer):
            raise ValueError(f"labels must be integers (-1 for unlabelled points), got dtype {labels.dtype}")
        if labels.size and labels.min() < -1:
            raise ValueError("labels must be -1 (unlabelled) or a class label >= 0, "
                             f"got {int(labels.min())}")
        self._labels = labels.astype(np.int64)
        self.data = np.ascontiguousarray(points, dtype=np.float32)
        self.n = int(self.data.shape[0])
        self.labeled_indices = np.flatnonzero(self._labels >= 0).astype(np.int64)
        self.labeled_count = int(self.labeled_indices.shape[0])

    @property
    def labels(self):
        """The label of every point (-1 unlabelled), as int64."""
        return self._labels

    def get_labeled(self):
        """Coordinates of the labelled points, in the order of `labeled_indices`."""
        return self.data[self.labeled_indices]
