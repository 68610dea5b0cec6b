"""scikit-learn's own estimator checks on the three estimators."""
import warnings

from sklearn.utils.estimator_checks import parametrize_with_checks

from halvorne_beta import DensityWarning, MSTLabelClustering, MutualKNNClustering, SemiSupervisedDBSCAN

ESTIMATORS = [MSTLabelClustering(), MutualKNNClustering(k=3), SemiSupervisedDBSCAN(eps=1.0, min_samples=2)]


def expected_failed_checks(estimator):
    return {
        # The check trains on the classes -1 and 1; here, as in
        # sklearn.semi_supervised, -1 marks an unlabelled point, so only
        # class 1 is seen.
        "check_classifiers_classes": "-1 marks unlabelled points, it cannot be a class",
    }


@parametrize_with_checks(ESTIMATORS, expected_failed_checks=expected_failed_checks)
def test_sklearn_conventions(estimator, check):
    with warnings.catch_warnings():
        # The checks' tiny data sets are far from what eps was chosen for.
        warnings.simplefilter("ignore", DensityWarning)
        check(estimator)
