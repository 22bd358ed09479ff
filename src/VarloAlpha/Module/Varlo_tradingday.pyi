import datetime
from pathlib import Path as Path

import numpy as np
import pandas as pd

class TradingDay(pd.offsets.CustomBusinessDay):
    """TradingDay Class"""

    hds: tuple[str, ...]
    cal: np.busdaycalendar
    def __init__(
        self,
        n: int = 1,
        normalize: bool = True,
        weekmask: str = "Mon Tue Wed Thu Fri Sat Sun",
        holidays: tuple[str, ...] = ...,
        calendar: np.busdaycalendar = ...,
        offset: datetime.timedelta = ...,
    ) -> None: ...

def get_holidays() -> None: ...
