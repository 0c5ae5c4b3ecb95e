"""ostrel: embedded market-data client (calendar, prices, industries, styles)."""
