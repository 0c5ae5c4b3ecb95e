"""The orchestration of ``FactorAssayer`` and the dispatch of ``Winzorization``.

The pipeline's C++ methods call these: which steps a pipeline holds, the
order it runs them in, the coverage account and the frames handed from one
step to the next are plain Python object work. The steps' numerics (the
preprocessing kernels, the analysers) stay in the C++ core; daily returns are
loaded through the module's ``_load_daily_returns``.
"""

from __future__ import annotations

import importlib
import warnings
from typing import Any

from zarnik.analysis import checks

_LLONG_MAX = 2**63 - 1
# every step name of a pipeline, preprocessing and analysis alike (one namespace)
_STEP_NAMES = "_FactorAssayer__exists_step_names"


def daily_return_span(factor_data: Any, periods: Any) -> tuple[Any, Any, int]:
    """日收益率的加载范围：(末个因子日期, 首个因子日期, 最长持有期)，与行的顺序无关。

    持有期与各分析步骤的读法相同；不小于 2**63 - 1 的持有期视为同样长，取先出现者。
    """
    longest = max((value for value, _ in checks.parse_periods(periods)), key=lambda v: min(v, _LLONG_MAX))
    index = factor_data.index
    return index.max(), index.min(), longest


def industry_source(source: Any) -> tuple[bool, Any]:
    """行业分类来源："sws"（申万）或 "citics_2019"，返回 (是否申万, 行业名称列名)；其余抛出 ValueError。"""
    if not isinstance(source, str) or source not in ("citics_2019", "sws"):
        raise ValueError(f"source: invalid source={source}, expect one of [sws, citics_2019]")
    sws = source == "sws"
    return sws, "index_name" if sws else checks.assayer_module().FIELD_MAPPING.get(source)


def init(assayer: Any) -> None:
    """空的流水线：预处理步骤列表、分析步骤字典与全部步骤名称。"""
    assayer.preprocess_pipelines = []
    assayer.analysis_pipelines = {}
    setattr(assayer, _STEP_NAMES, [])


def append(assayer: Any, step: Any) -> None:
    """把步骤 (名称, 处理器) 加入流水线；名称记入全部步骤名称（处理器类型未知时也记入）。"""
    name, processor = checks.pipeline_step(step, assayer, _STEP_NAMES)
    getattr(assayer, _STEP_NAMES).append(name)
    module = checks.assayer_module()
    if isinstance(processor, module.FactorPreprocessor):
        assayer.preprocess_pipelines.append(step)
    elif isinstance(processor, module.FactorAnalyser):
        processor.step_name = name
        assayer.analysis_pipelines[name] = processor
    else:
        raise ValueError(f"Invalid step={name}, unknown processor={processor}")


def run(assayer: Any, factor_data: Any, returns: Any, ascending: Any, periods: Any,
        keep_preprocess_result: Any) -> dict | None:
    """执行流水线（FactorAssayer.analysis）：预处理步骤依次执行，再以其结果执行各分析步骤。"""
    preprocessors = assayer.preprocess_pipelines
    analysers = assayer.analysis_pipelines
    if not preprocessors and not analysers:
        warnings.warn("no pipelines to execute.", UserWarning, stacklevel=2)
        return None
    assert isinstance(periods, (tuple, list, int)), f"periods must be tuple/list/int, but got {type(periods)}"
    checks.validate_data_frame(factor_data, "factor_data")
    if isinstance(returns, str):
        if returns != "daily":
            raise ValueError(f'returns: expect pd.DataFrame or "daily", got {returns}')
        returns = checks.assayer_module()._load_daily_returns(factor_data, periods)
    else:
        checks.validate_data_frame(returns, "returns")
    if not isinstance(periods, (tuple, list)):
        periods = [periods]
    for frame in (factor_data, returns):
        frame.index.name = "datetime"
        frame.columns.name = "order_book_id"
    result: dict = {}
    keep = bool(keep_preprocess_result)
    # cells with a value after each stage; a stage that empties whole dates warns
    coverage = importlib.import_module("zarnik.analysis.coverage").CoverageAccount(factor_data)
    for item in list(preprocessors):
        pair = tuple(item)
        factor_data = pair[1].process(factor_data)
        coverage.step(pair[0], factor_data)
        if keep:
            result[pair[0]] = factor_data.copy()
    account = coverage.to_frame()
    for pair in analysers.items():
        out = pair[1].analysis(factor_data, returns, periods, ascending=ascending)
        # The account and the ranking direction travel with each result for its summary and report;
        # a result type that takes no attributes simply goes without.
        try:
            out.coverage = account
            out.ascending = ascending
        except Exception:
            pass
        result[pair[0]] = out
    return result


def winsorization_method(method: Any) -> Any:
    """去极值方法名：须为模块 VALID_WINSORIZE_METHODS 之一（不可哈希的值不是方法名），否则抛出 ValueError。"""
    valid = checks.assayer_module().VALID_WINSORIZE_METHODS
    try:
        ok = method in valid
    except TypeError:
        ok = False
    if not ok:
        raise ValueError(f"method: expect one of {valid}, got {method}")
    return method


def winsorize(method: Any, factor_data: Any) -> Any:
    """按方法去极值：BATCH_WINSORIZE_METHODS 中的整表方法，否则逐日应用 WINSORIZE_METHODS 中的方法。"""
    module = checks.assayer_module()
    try:
        return module.BATCH_WINSORIZE_METHODS[method](factor_data)
    except KeyError:
        pass
    return factor_data.apply(module.WINSORIZE_METHODS[method], axis=1)
