"""Semi-supervised clustering with a native core.

Three estimators label every point from a few labelled ones (-1 marks an
unlabelled point): MSTLabelClustering, MutualKNNClustering and
SemiSupervisedDBSCAN.
"""
__version__ = "0.2.0"

__all__ = ["MSTLabelClustering", "MutualKNNClustering", "SemiSupervisedDBSCAN", "DensityWarning",
           "__version__"]


def __getattr__(name):
    # Loaded on first use, so that importing a native module alone does not
    # pull in scikit-learn.
    if name in __all__:
        from halvorne_beta import estimators

        return getattr(estimators, name)
    raise AttributeError(f"module 'halvorne_beta' has no attribute {name!r}")
