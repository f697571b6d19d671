BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'testing/Layouts.ps1')
    . (Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1')

    $vendor = 'C:\ProgramData\Morvane Security'
    $agent = "$vendor\Morvane Devices Agent"
    $downloads = "$agent\Downloads"

    # A machine: the facts of each path, and what each folder holds. By
    # default the stock layout after a repair, with nothing inside Downloads;
    # -Clean: an agent folder that blocks inheritance, so that nothing else
    # is exposed.
    $machine = @{ Facts = @{}; Children = @{}; Key = 'full access' }
    function Set-Machine([hashtable]$Facts = @{}, [hashtable]$Children = @{}, [string]$Key = 'full access', [switch]$Clean) {
        $inherited = if ($Clean) { @() } else { $ProgramDataInherited }
        $machine.Facts = @{
            $vendor    = New-Folder $vendor -Entries $ProgramDataInherited
            $agent     = New-Folder $agent -Entries ($(if ($Clean) { $ProgramFilesList } else { $ProgramDataInherited }))
            $downloads = New-Folder $downloads -Entries ($ProgramFilesList + $inherited)
        }
        foreach ($path in $Facts.Keys) { $machine.Facts[$path] = $Facts[$path] }
        $machine.Children = $Children
        $machine.Key = $Key
    }
    function Get-Findings([int]$MaxItems = 100) {
        Mock Get-AppDataFolder { 'C:\ProgramData' }
        Mock Get-AgentKeyAccess { $machine.Key }
        Mock Resolve-Account { $null }
        Mock Get-ItemFacts {
            if ($machine.Facts.ContainsKey($Path)) { $machine.Facts[$Path] } else { New-Folder $Path -IsFolder $false }
        }
        Mock Get-ChildPath { if ($machine.Children.ContainsKey($Path)) { @($machine.Children[$Path]) } else { @() } }
        @(Get-Exposure -MaxItems $MaxItems -MaxSeconds 60)
    }
}

Describe 'The exposure audit' {
    It 'finds nothing where the agent folder blocks inheritance and Downloads carries the list' {
        Set-Machine -Clean
        Get-Findings | Should -BeNullOrEmpty
    }

    It 'reports the create right Users inherit from a stock ProgramData' {
        Set-Machine
        $found = Get-Findings
        $found | Should -HaveCount 1
        $found[0].Path | Should -Be $downloads
        $found[0].Sid | Should -Be 'S-1-5-32-545'
        $found[0].Allows | Should -Be 'write (create files), append (create folders)'
        $found[0].Why | Should -BeLike 'inherited from a folder above; it applies to Downloads itself*'
        $found[0].Remedy | Should -Be "If removing inheritance is your decision: icacls '$downloads' /inheritance:r /c /l (the copied entries stay), then run the tool again"
    }

    It 'reports <Case>' -ForEach @(
        @{ Case = 'an inherit-only grant on Downloads'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads'
            Why = '*it passes to everything created inside Downloads (inherit-only)*'; Remedy = '*/inheritance:r /c /l*'
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry 'S-1-5-32-545' 0x40000000 $true -Propagation 2)) } } }
        @{ Case = 'delete-child on the folder above Downloads'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent'
            Why = 'may rename or replace what this folder on the way*'; Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent' /remove:g '*S-1-5-21-1-2-3-1001' /c /l"
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry 'S-1-5-21-1-2-3-1001' 0x40)) } } }
        @{ Case = 'a user who owns the vendor folder'; Path = 'C:\ProgramData\Morvane Security'
            Why = 'owns a folder on the way to Downloads*'; Remedy = "icacls 'C:\ProgramData\Morvane Security' /setowner '*S-1-5-32-544' /c /l"
            Facts = { @{ $vendor = New-Folder $vendor -Owner 'S-1-5-21-1-2-3-1001' -Entries $ProgramFilesList } } }
        @{ Case = 'a user-owned folder inside, with its mapped CREATOR OWNER entry'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine'
            Why = 'owns this item inside Downloads*'; Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads' /setowner '*S-1-5-32-544' /t /c /l"
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -Owner 'S-1-5-21-1-2-3-1001' -Entries @(New-Entry 'S-1-5-21-1-2-3-1001' 0x1F01FF $true) } } }
        @{ Case = 'an explicit grant inside'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine'
            Why = 'an explicit entry inside Downloads*'; Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\*' /reset /t /c /l"
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -Entries @(New-Entry 'S-1-1-0' 0x10000) } } }
        @{ Case = 'a junction inside'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine'
            Why = 'a junction, symbolic link or mount point inside Downloads*'; Remedy = '*.Delete() removes the link, not what it leads to'
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsReparsePoint $true } } }
        @{ Case = 'a file with two names'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine'
            Why = 'a file with more than one name*'; Remedy = "fsutil hardlink list 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine' shows its names*"
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsFolder $false -IsHardLinked $true } } }
        @{ Case = 'an item it cannot read'; Path = 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine'
            Why = 'could not be read: access denied'; Remedy = 'Run the audit as SYSTEM or elevated*'
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -ErrorText 'access denied' } } }
    ) {
        Set-Machine -Clean -Facts (& $Facts) -Children @{ $downloads = @("$downloads\mine") }
        $found = @(Get-Findings)
        $found | Should -HaveCount 1
        $found[0].Path | Should -Be $Path
        $found[0].Why | Should -BeLike $Why
        $found[0].Remedy | Should -BeLike $Remedy
    }

    It 'reports a key that refuses full access' {
        Set-Machine -Key 'refused: Requested registry access is not allowed.'
        (Get-Findings)[0].Why | Should -BeLike 'the tool opens this key for full access and does nothing where it cannot*'
    }

    It 'enters no link, and says when its bounds stopped the walk' {
        Set-Machine -Clean -Facts @{
            "$downloads\link"   = New-Folder "$downloads\link" -IsReparsePoint $true
            "$downloads\a"      = New-Folder "$downloads\a"
            "$downloads\a\b"    = New-Folder "$downloads\a\b"
        } -Children @{ $downloads = @("$downloads\link", "$downloads\a"); "$downloads\a" = @("$downloads\a\b", "$downloads\a\c") }
        $found = @(Get-Findings -MaxItems 3)
        $found.Why | Should -Contain 'the walk inside Downloads stopped early, after 3 items: what lies beyond was not looked at'
        Should -Invoke Get-ChildPath -Times 0 -ParameterFilter { $Path -like '*\link' }
    }

    It 'writes nothing, ever' {
        Mock Set-Acl { return }
        Mock Remove-Item { return }
        Mock New-Item { return }
        Mock Set-Content { return }
        Mock Rename-Item { return }
        Set-Machine -Facts @{ "$downloads\mine" = New-Folder "$downloads\mine" -Owner 'S-1-5-21-1-2-3-1001' -IsReparsePoint $true } -Children @{ $downloads = @("$downloads\mine") }
        Get-Findings | Should -Not -BeNullOrEmpty
        foreach ($writer in 'Set-Acl', 'Remove-Item', 'New-Item', 'Set-Content', 'Rename-Item') {
            Should -Invoke $writer -Times 0
        }
    }
}

Describe 'The -Summary line for Intune Remediations' {
    It 'is <Line> with status <Status>' -ForEach @(
        @{ Findings = @(); Line = 'no exposure found'; Status = 0 }
        @{ Findings = @(@{ Why = 'owns this item inside Downloads: keeps full control' }, @{ Why = 'owns this item inside Downloads: keeps full control' }, @{ Why = 'a file with more than one name: x' })
            Line = '3 exposure finding(s): 2 x owns this item inside Downloads; 1 x a file with more than one name'; Status = 1 }
    ) {
        $verdict = Format-ExposureSummary @($Findings | ForEach-Object { [pscustomobject]$_ })
        $verdict.Line | Should -Be $Line
        $verdict.Status | Should -Be $Status
    }

    It 'says in one line that the audit failed where it cannot read the machine, with status 1' {
        # PowerShell on Linux has no Windows registry.
        $run = Invoke-PowerShellProcess "& '$(Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1')' -Summary; exit `$LASTEXITCODE"
        $run.Status | Should -Be 1
        $run.Out | Should -HaveCount 1
        $run.Out[0] | Should -BeLike 'the audit failed: *'
    }
}
